// tools/simulator/layout.cpp: writes the header, variable table,
// session-info text and rotating frame buffers into the mapping.
#include "tools/simulator/layout.h"

#include <atomic>
#include <cstring>

static uint8_t* layout_view;
static int32_t layout_tick;
static int layout_next_buffer;

static void Layout_Store(int offset, int32_t value) {
    // Single aligned stores with release order: a reader that sees a new
    // tick count or status also sees everything written before it.
    std::atomic_ref<int32_t> field(*reinterpret_cast<int32_t*>(layout_view + offset));
    field.store(value, std::memory_order_release);
}

int32_t Layout_ReadField(int offset) {
    if (layout_view == nullptr) return 0;
    std::atomic_ref<int32_t> field(*reinterpret_cast<int32_t*>(layout_view + offset));
    return field.load(std::memory_order_acquire);
}

void Layout_Init(uint8_t* view, int tick_rate, int buffers) {
    layout_view = view;
    layout_tick = 0;
    layout_next_buffer = 0;
    Layout_Store(LAYOUT_STATUS, 0);
    Layout_Store(LAYOUT_VER, LAYOUT_VERSION);
    Layout_Store(LAYOUT_TICK_RATE, tick_rate);
    Layout_Store(LAYOUT_SESSION_OFS, LAYOUT_SESSION_OFFSET);
    Layout_Store(LAYOUT_VAR_HEADERS, LAYOUT_VAR_HEADER_OFFSET);
    Layout_Store(40, 0);
    Layout_Store(44, 0);
    for (int i = 0; i < LAYOUT_MAX_BUFFERS; i++) {
        int entry = LAYOUT_BUFFER_TABLE + i * LAYOUT_BUFFER_ENTRY_SIZE;
        Layout_Store(entry, 0);
        Layout_Store(entry + 4, LAYOUT_BUFFERS_OFFSET + i * LAYOUT_SLOT_SIZE);
        Layout_Store(entry + 8, 0);
        Layout_Store(entry + 12, 0);
    }
    if (buffers < 1 || buffers > LAYOUT_MAX_BUFFERS) buffers = LAYOUT_DEFAULT_BUFFERS;
    Layout_Store(LAYOUT_NUM_BUFFERS, buffers);
}

void Layout_Reset() {
    layout_view = nullptr;
    layout_tick = 0;
    layout_next_buffer = 0;
}

// Copies `text` into a fixed-size, zero-padded field of the header entry.
static void Layout_PutText(uint8_t* dst, int size, const char* text) {
    std::memset(dst, 0, static_cast<size_t>(size));
    if (text == nullptr) return;
    size_t n = std::strlen(text);
    if (n > static_cast<size_t>(size - 1)) n = static_cast<size_t>(size - 1);
    std::memcpy(dst, text, n);
}

int Layout_WriteVarHeaders(const LayoutVarHeader* vars, int count) {
    if (count > LAYOUT_MAX_VARS) count = LAYOUT_MAX_VARS;
    if (count < 0) count = 0;
    // A reader walks the table by the count: lower it first, raise it last.
    Layout_Store(LAYOUT_NUM_VARS, 0);
    for (int i = 0; i < count; i++) {
        uint8_t* e = layout_view + LAYOUT_VAR_HEADER_OFFSET + i * LAYOUT_VAR_HEADER_SIZE;
        std::memset(e, 0, LAYOUT_VAR_HEADER_SIZE);
        std::memcpy(e + 0, &vars[i].type, 4);
        std::memcpy(e + 4, &vars[i].offset, 4);
        std::memcpy(e + 8, &vars[i].count, 4);
        e[12] = vars[i].count_as_time ? 1 : 0;
        Layout_PutText(e + 16, 32, vars[i].name);
        Layout_PutText(e + 48, 64, vars[i].desc);
        Layout_PutText(e + 112, 32, vars[i].unit);
    }
    Layout_Store(LAYOUT_NUM_VARS, count);
    return count;
}

bool Layout_WriteRawVarHeaders(const uint8_t* entries, int count) {
    if (count < 0 || count > LAYOUT_MAX_VARS) return false;
    Layout_Store(LAYOUT_NUM_VARS, 0);
    std::memcpy(layout_view + LAYOUT_VAR_HEADER_OFFSET, entries,
                static_cast<size_t>(count) * LAYOUT_VAR_HEADER_SIZE);
    Layout_Store(LAYOUT_NUM_VARS, count);
    return true;
}

const uint8_t* Layout_VarHeaders() { return layout_view + LAYOUT_VAR_HEADER_OFFSET; }

const char* Layout_SessionText() {
    return reinterpret_cast<const char*>(layout_view + LAYOUT_SESSION_OFFSET);
}

bool Layout_SetSessionInfo(const char* text, int len) {
    if (len < 0 || len + 1 > LAYOUT_SESSION_MAX) return false;
    uint8_t* area = layout_view + LAYOUT_SESSION_OFFSET;
    std::memcpy(area, text, static_cast<size_t>(len));
    // The terminator and the zeroed rest keep a reader from running into
    // the tail of a longer earlier text.
    std::memset(area + len, 0, static_cast<size_t>(LAYOUT_SESSION_MAX - len));
    Layout_Store(LAYOUT_SESSION_LEN, len + 1);
    Layout_Store(LAYOUT_SESSION_UPDATE, Layout_ReadField(LAYOUT_SESSION_UPDATE) + 1);
    return true;
}

void Layout_SetStatus(bool connected) {
    Layout_Store(LAYOUT_STATUS, connected ? LAYOUT_STATUS_CONNECTED : 0);
}

bool Layout_SetFrameLength(int len) {
    if (len < 1 || len > LAYOUT_SLOT_SIZE) return false;
    Layout_Store(LAYOUT_FRAME_LEN, len);
    return true;
}

int Layout_FrameLength() { return Layout_ReadField(LAYOUT_FRAME_LEN); }

bool Layout_SetBufferCount(int count) {
    if (count < 1 || count > LAYOUT_MAX_BUFFERS) return false;
    Layout_Store(LAYOUT_NUM_BUFFERS, count);
    if (layout_next_buffer >= count) layout_next_buffer = 0;
    return true;
}

int32_t Layout_PublishFrame(const uint8_t* frame) {
    int count = Layout_ReadField(LAYOUT_NUM_BUFFERS);
    if (count < 1 || count > LAYOUT_MAX_BUFFERS) count = 1;
    if (layout_next_buffer >= count) layout_next_buffer = 0;
    int entry = LAYOUT_BUFFER_TABLE + layout_next_buffer * LAYOUT_BUFFER_ENTRY_SIZE;
    int32_t offset = Layout_ReadField(entry + 4);
    int len = Layout_FrameLength();
    Layout_Store(entry, -1);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    std::memcpy(layout_view + offset, frame, static_cast<size_t>(len));
    // Tick counts only rise; at the top of the range they would wrap, which
    // a 60 Hz run reaches after more than a year.
    if (layout_tick < 0x7ffffffe) layout_tick++;
    Layout_Store(entry, layout_tick);
    layout_next_buffer = (layout_next_buffer + 1) % count;
    return layout_tick;
}

int32_t Layout_LastTick() { return layout_tick; }
