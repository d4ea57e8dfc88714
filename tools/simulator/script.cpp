// tools/simulator/script.cpp: reads, checks and plays test scripts.
#include "tools/simulator/script.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "tools/simulator/layout.h"
#include "tools/simulator/variables.h"

static std::array<ScriptCommand, SCRIPT_MAX_COMMANDS> script_commands;
static int script_count;
static std::vector<std::string> script_texts;

void Script_Reset() {
    script_count = 0;
    script_texts.clear();
}

int Script_CommandCount() { return script_count; }
const ScriptCommand& Script_Command(int i) { return script_commands[static_cast<size_t>(i)]; }
const std::string& Script_Text(int i) { return script_texts[static_cast<size_t>(i)]; }

// Parse state of one script: where errors are reported from.
struct ScriptParse {
    const char* name;
    int line;
    char* error;
    int error_size;
};

__attribute__((format(gnu_printf, 2, 3))) static bool Script_Fail(ScriptParse& p, const char* fmt,
                                                              ...) {
    char reason[SCRIPT_ERROR_SIZE];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(reason, sizeof reason, fmt, ap);
    va_end(ap);
    std::snprintf(p.error, static_cast<size_t>(p.error_size), "%s:%d: %s", p.name, p.line, reason);
    return false;
}

// A whole-token integer in [lo, hi]: decimal, or hexadecimal after 0x.
static bool Script_Integer(const std::string& s, int64_t lo, int64_t hi, int64_t& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 0);
    if (errno != 0 || end == s.c_str() || *end != 0) return false;
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

static bool Script_Number(const std::string& s, double& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != 0) return false;
    out = v;
    return true;
}

static std::vector<std::string> Script_Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

static bool Script_ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return !in.bad();
}

static bool Script_AddText(ScriptParse& p, std::string text, ScriptCommand& cmd) {
    if (text.size() + 1 > static_cast<size_t>(LAYOUT_SESSION_MAX))
        return Script_Fail(p, "session-info text of %zu bytes is longer than %d", text.size(),
                           LAYOUT_SESSION_MAX - 1);
    if (text.find('\0') != std::string::npos)
        return Script_Fail(p, "session-info text contains a zero byte");
    cmd.op = SCRIPT_SESSION;
    cmd.text = static_cast<int>(script_texts.size());
    script_texts.push_back(std::move(text));
    return true;
}

// "NAME" or "NAME[INDEX]" of a catalogue variable.
static bool Script_Variable(ScriptParse& p, const std::string& word, ScriptCommand& cmd) {
    std::string name = word;
    int64_t index = 0;
    size_t open = word.find('[');
    if (open != std::string::npos) {
        if (word.back() != ']') return Script_Fail(p, "bad element in '%s'", word.c_str());
        name = word.substr(0, open);
        if (!Script_Integer(word.substr(open + 1, word.size() - open - 2), 0, 1 << 20, index))
            return Script_Fail(p, "bad element in '%s'", word.c_str());
    }
    cmd.var = Var_Find(name.c_str());
    if (cmd.var < 0) return Script_Fail(p, "no variable '%s'", name.c_str());
    if (index >= var_table[cmd.var].count)
        return Script_Fail(p, "'%s' has %d elements", name.c_str(), var_table[cmd.var].count);
    cmd.index = static_cast<int>(index);
    return true;
}

static bool Script_SetValue(ScriptParse& p, const std::string& value, ScriptCommand& cmd) {
    const Variable& v = var_table[cmd.var];
    switch (v.type) {
    case VAR_FLOAT:
    case VAR_DOUBLE:
        if (!Script_Number(value, cmd.number))
            return Script_Fail(p, "'%s' is not a number for %s", value.c_str(), v.name);
        cmd.integer = false;
        return true;
    case VAR_BOOL:
        if (value == "true") cmd.a = 1;
        else if (value == "false") cmd.a = 0;
        else if (!Script_Integer(value, 0, 1, cmd.a))
            return Script_Fail(p, "'%s' is not 0, 1, true or false for %s", value.c_str(), v.name);
        break;
    case VAR_CHAR:
        if (!Script_Integer(value, -128, 255, cmd.a))
            return Script_Fail(p, "'%s' is not a byte for %s", value.c_str(), v.name);
        break;
    case VAR_BITFIELD:
        if (!Script_Integer(value, INT32_MIN, UINT32_MAX, cmd.a))
            return Script_Fail(p, "'%s' is not a 32-bit value for %s", value.c_str(), v.name);
        break;
    default:
        if (!Script_Integer(value, INT32_MIN, INT32_MAX, cmd.a))
            return Script_Fail(p, "'%s' is not a 32-bit integer for %s", value.c_str(), v.name);
        break;
    }
    cmd.integer = true;
    return true;
}

static std::string Script_Dir(const char* path) {
    std::string s(path);
    size_t slash = s.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : s.substr(0, slash);
}

bool Script_Parse(const std::string& text, const char* name, const std::string& dir, char* error,
                  int error_size) {
    Script_Reset();
    ScriptParse p{name, 0, error, error_size};
    std::vector<std::string> lines;
    {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
    }
    for (size_t li = 0; li < lines.size(); li++) {
        p.line = static_cast<int>(li) + 1;
        std::vector<std::string> w = Script_Words(lines[li]);
        if (w.empty() || w[0][0] == '#') continue;
        if (script_count >= SCRIPT_MAX_COMMANDS)
            return Script_Fail(p, "more than %d commands", SCRIPT_MAX_COMMANDS);
        ScriptCommand cmd{};
        cmd.line = p.line;
        const std::string& op = w[0];
        size_t args = w.size() - 1;
        auto want = [&](size_t lo, size_t hi) {
            if (args >= lo && args <= hi) return true;
            return Script_Fail(p, "'%s' takes %zu to %zu arguments, not %zu", op.c_str(), lo, hi,
                               args);
        };
        auto integer = [&](size_t i, int64_t lo, int64_t hi, int64_t& out) {
            if (Script_Integer(w[i], lo, hi, out)) return true;
            return Script_Fail(p, "'%s' is not a whole number from %lld to %lld", w[i].c_str(),
                               static_cast<long long>(lo), static_cast<long long>(hi));
        };
        if (op == "fps") {
            cmd.op = SCRIPT_FPS;
            if (!want(1, 1) || !integer(1, 1, SCRIPT_MAX_FPS, cmd.a)) return false;
        } else if (op == "set") {
            cmd.op = SCRIPT_SET;
            if (!want(2, 2) || !Script_Variable(p, w[1], cmd) || !Script_SetValue(p, w[2], cmd))
                return false;
        } else if (op == "session") {
            if (args < 1) return Script_Fail(p, "'session' needs file, begin or generated");
            if (w[1] == "generated") {
                if (!want(1, 1)) return false;
                cmd.op = SCRIPT_GENERATED;
            } else if (w[1] == "file") {
                // The rest of the line is the path, relative to the script.
                std::string rest = lines[li];
                size_t at = rest.find("file") + 4;
                while (at < rest.size() && (rest[at] == ' ' || rest[at] == '\t')) at++;
                std::string path = rest.substr(at);
                while (!path.empty() && (path.back() == ' ' || path.back() == '\t')) path.pop_back();
                if (path.empty()) return Script_Fail(p, "'session file' needs a path");
                if (path[0] != '/' && path[0] != '\\' && !(path.size() > 1 && path[1] == ':'))
                    path = dir + "/" + path;
                std::string content;
                if (!Script_ReadFile(path, content))
                    return Script_Fail(p, "cannot read '%s'", path.c_str());
                if (!Script_AddText(p, std::move(content), cmd)) return false;
            } else if (w[1] == "begin") {
                if (!want(1, 1)) return false;
                // Every line up to "session end" verbatim, blank lines kept.
                std::string body;
                size_t end = li + 1;
                while (end < lines.size() && Script_Words(lines[end]) !=
                                                 std::vector<std::string>{"session", "end"}) {
                    body += lines[end];
                    body += '\n';
                    end++;
                }
                if (end >= lines.size()) return Script_Fail(p, "'session begin' without 'session end'");
                if (!Script_AddText(p, std::move(body), cmd)) return false;
                li = end;
            } else {
                return Script_Fail(p, "'session' needs file, begin or generated, not '%s'",
                                   w[1].c_str());
            }
        } else if (op == "frames") {
            cmd.op = SCRIPT_FRAMES;
            if (!want(1, 2) || !integer(1, 1, 100000000, cmd.a)) return false;
            if (args == 2 && !integer(2, 1, SCRIPT_MAX_FPS, cmd.b)) return false;
        } else if (op == "drive") {
            cmd.op = SCRIPT_DRIVE;
            if (!want(1, 1) || !integer(1, 1, 100000000, cmd.a)) return false;
        } else if (op == "status") {
            cmd.op = SCRIPT_STATUS;
            if (!want(1, 1) || !integer(1, 0, 1, cmd.a)) return false;
        } else if (op == "framelen") {
            cmd.op = SCRIPT_FRAMELEN;
            if (!want(1, 1) || !integer(1, 1, LAYOUT_SLOT_SIZE, cmd.a)) return false;
        } else if (op == "buffers") {
            cmd.op = SCRIPT_BUFFERS;
            if (!want(1, 1) || !integer(1, 1, LAYOUT_MAX_BUFFERS, cmd.a)) return false;
        } else if (op == "hide") {
            cmd.op = SCRIPT_HIDE;
            if (!want(1, 1) || !Script_Variable(p, w[1], cmd)) return false;
            if (cmd.index != 0 || w[1].find('[') != std::string::npos)
                return Script_Fail(p, "'hide' takes a variable, not an element");
        } else if (op == "place") {
            cmd.op = SCRIPT_PLACE;
            if (!want(2, 2) || !Script_Variable(p, w[1], cmd)) return false;
            if (w[1].find('[') != std::string::npos)
                return Script_Fail(p, "'place' takes a variable, not an element");
            if (!integer(2, INT32_MIN, INT32_MAX, cmd.a)) return false;
        } else if (op == "pause") {
            cmd.op = SCRIPT_PAUSE;
            if (!want(1, 1) || !integer(1, 0, 3600000, cmd.a)) return false;
        } else if (op == "stop") {
            cmd.op = SCRIPT_STOP;
            if (!want(0, 0)) return false;
        } else if (op == "exit") {
            cmd.op = SCRIPT_EXIT;
            if (!want(0, 1)) return false;
            if (args == 1 && !integer(1, 0, 255, cmd.a)) return false;
        } else {
            return Script_Fail(p, "unknown command '%s'", op.c_str());
        }
        script_commands[static_cast<size_t>(script_count++)] = cmd;
    }
    return true;
}

bool Script_Load(const char* path, char* error, int error_size) {
    std::string text;
    if (!Script_ReadFile(path, text)) {
        Script_Reset();
        std::snprintf(error, static_cast<size_t>(error_size), "%s: cannot read the script", path);
        return false;
    }
    return Script_Parse(text, path, Script_Dir(path), error, error_size);
}

int Script_Run(const ScriptHost& host, int default_fps) {
    using Clock = std::chrono::steady_clock;
    int fps = default_fps > 0 ? default_fps : 60;
    for (int i = 0; i < script_count; i++) {
        const ScriptCommand& c = script_commands[static_cast<size_t>(i)];
        switch (c.op) {
        case SCRIPT_FPS:
            fps = static_cast<int>(c.a);
            break;
        case SCRIPT_SET:
            if (c.integer)
                Var_SetInt(c.var, c.index, c.a);
            else
                Var_SetNumber(c.var, c.index, c.number);
            break;
        case SCRIPT_SESSION: {
            const std::string& t = script_texts[static_cast<size_t>(c.text)];
            Layout_SetSessionInfo(t.data(), static_cast<int>(t.size()));
            break;
        }
        case SCRIPT_GENERATED:
            host.generated_info();
            break;
        case SCRIPT_FRAMES:
        case SCRIPT_DRIVE: {
            int rate = c.op == SCRIPT_FRAMES && c.b > 0 ? static_cast<int>(c.b) : fps;
            auto period = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(1.0 / rate));
            auto next = Clock::now();
            for (int64_t n = 0; n < c.a; n++) {
                if (c.op == SCRIPT_FRAMES)
                    host.emit_frame();
                else
                    host.drive_frame();
                next += period;
                if (!host.wait_until(next)) return 0;
            }
            break;
        }
        case SCRIPT_STATUS:
            Layout_SetStatus(c.a != 0);
            break;
        case SCRIPT_FRAMELEN:
            Layout_SetFrameLength(static_cast<int>(c.a));
            break;
        case SCRIPT_BUFFERS:
            Layout_SetBufferCount(static_cast<int>(c.a));
            break;
        case SCRIPT_HIDE:
            var_table[c.var].hidden = true;
            host.publish_vars();
            break;
        case SCRIPT_PLACE:
            var_table[c.var].table_offset = static_cast<int>(c.a);
            host.publish_vars();
            break;
        case SCRIPT_PAUSE:
            if (!host.wait_until(Clock::now() + std::chrono::milliseconds(c.a))) return 0;
            break;
        case SCRIPT_STOP:
            while (host.wait_until(Clock::now() + std::chrono::milliseconds(100))) {
            }
            return 0;
        case SCRIPT_EXIT:
            return static_cast<int>(c.a);
        }
    }
    return 0;
}
