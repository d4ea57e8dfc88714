// tests/recordings.h: the real simulator's recordings in the shared folder
// beside the repository (../shared/recordings), when present. They are read
// where they lie, never copied into the repository; tests that need them
// skip when this machine does not have them (a clone outside the workspace).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace recordings {

constexpr const char* DISK = "redbullring-disk-390frames.ibt";
constexpr const char* LIVE_DUMP = "monza-live-mapping.bin";
constexpr const char* MISSING = "../shared/recordings is absent (a clone outside the workspace): skipped";

// The recordings folder: TARMIS_RECORDINGS when set, else "shared/recordings"
// beside the repository that holds the running test program (found by its
// CMakePresets.json). "" when absent.
inline std::string Folder() {
    if (const char* env = std::getenv("TARMIS_RECORDINGS")) return env;
    std::error_code ec;
    auto dir = std::filesystem::canonical("/proc/self/exe", ec).parent_path();
    for (; !ec && dir.has_relative_path(); dir = dir.parent_path()) {
        if (std::filesystem::exists(dir / "CMakePresets.json", ec)) {
            auto rec = dir.parent_path() / "shared" / "recordings";
            return std::filesystem::is_directory(rec, ec) ? rec.string() : "";
        }
    }
    return "";
}

// The path of the recording `name`, or "" when this machine does not have it.
inline std::string Path(const std::string& name) {
    const std::string folder = Folder();
    if (folder.empty()) return "";
    std::error_code ec;
    const std::string path = folder + "/" + name;
    return std::filesystem::is_regular_file(path, ec) ? path : "";
}

// The whole file `name` of the recordings folder; empty when it is absent.
inline std::vector<uint8_t> Read(const std::string& name) {
    const std::string path = Path(name);
    if (path.empty()) return {};
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return in ? bytes : std::vector<uint8_t>{};
}

}  // namespace recordings
