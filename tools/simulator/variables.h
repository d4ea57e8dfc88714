// tools/simulator/variables.h: the stand-in's telemetry variables and the
// working frame they are written into before each frame is published.
//
// The catalogue holds a few hundred variables of every type, laid out one
// after another at their natural alignment, so the ones a dashboard reads
// end up at scattered offsets among the rest. A variable can be hidden from
// the published table or given another offset there (test scripts), without
// moving its value in the frame.
#pragma once

#include <cstdint>

#include "tools/simulator/layout.h"

constexpr int VAR_MAX_NAME = 32;        // name field, terminator included
constexpr int VAR_CAR_SLOTS = 64;       // elements of a per-car array

struct Variable {
    char name[VAR_MAX_NAME];
    const char* desc;
    const char* unit;
    VarType type;
    int count;                 // elements
    int offset;                // where its value lies in the working frame
    int table_offset;          // the offset published in its header
    bool hidden;               // left out of the published table
};

extern Variable var_table[LAYOUT_MAX_VARS];
extern int var_count;
extern uint8_t var_frame[LAYOUT_SLOT_SIZE];
extern int var_frame_len;    // natural frame length of the catalogue

// Builds the catalogue, lays it out, and zeroes the working frame.
void Var_Init();

// Index of the variable named `name`, or -1.
int Var_Find(const char* name);

// Size in bytes of one element of `type`.
int Var_TypeSize(VarType type);

// Writes element `index` of variable `var` in the working frame, converted
// to its type (bool and char: low 8 bits of the integer; float: nearest
// 32-bit value). Out-of-range variables or elements are ignored.
void Var_SetNumber(int var, int index, double value);
void Var_SetInt(int var, int index, int64_t value);

// Reads element `index` back as a double (0 when out of range).
double Var_GetNumber(int var, int index);

// Fills `out` with the headers to publish (hidden ones left out) and
// returns how many.
int Var_PublishedHeaders(LayoutVarHeader* out, int max);
