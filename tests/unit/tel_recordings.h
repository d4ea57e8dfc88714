// tests/unit/tel_recordings.h: the real simulator's recordings in the
// shared folder beside the repository (../shared/recordings), when present.
// They are read where they lie, never copied into the repository.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace recordings {

// The recordings folder: "shared/recordings" beside the repository or beside
// one of the folders above it, searched upwards from the working directory
// (the tests run in the build tree inside the repository). "" when absent.
inline std::string Folder() {
    std::filesystem::path dir = std::filesystem::current_path();
    for (int up = 0; up < 8 && !dir.empty(); up++) {
        std::filesystem::path candidate = dir / ".." / "shared" / "recordings";
        std::error_code ec;
        if (std::filesystem::is_directory(candidate, ec)) return candidate.lexically_normal().string();
        if (dir == dir.parent_path()) break;
        dir = dir.parent_path();
    }
    return "";
}

// The whole file `name` of the recordings folder; empty when it is absent.
inline std::vector<uint8_t> Read(const std::string& name) {
    std::string folder = Folder();
    if (folder.empty()) return {};
    std::ifstream in(folder + "/" + name, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return in ? bytes : std::vector<uint8_t>{};
}

constexpr const char* LIVE_DUMP = "monza-live-mapping.bin";
constexpr const char* MISSING = "../shared/recordings is absent (a clone outside the workspace): skipped";

}  // namespace recordings
