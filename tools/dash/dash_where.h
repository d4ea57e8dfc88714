// tools/dash/dash_where.h: where a phone finds the --web page. For each
// address of this PC the page's address and a QR code of it, drawn in the
// console for the phone's camera; real network adapters first, virtual
// ones (WSL, Hyper-V, VirtualBox, VMware, containers, VPNs) after them and
// marked, loopback left out.
#pragma once

#include <cstdio>

#include "platform/dashnet.h"

constexpr int DASHWHERE_QUIET = 4;          // light modules around a code
constexpr int DASHWHERE_QR_MAX = 8192;      // bytes of one drawn code

// True when the adapter is a virtual one that a phone on the home network
// cannot reach: a tunnel, no device behind it (Linux), or a name or
// description of a virtual machine, container or VPN adapter.
bool DashWhere_IsVirtual(const DashAdapter& a);

// Drops loopback, sets is_virtual and puts the real adapters first, each
// group in the system's order. Returns how many remain.
int DashWhere_Order(DashAdapter* list, int n);

// Draws a QR code of `text` into `out` as UTF-8 lines of half blocks, two
// module rows a line: light modules (and a quiet zone of DASHWHERE_QUIET
// modules) drawn, dark ones left blank, which reads right on a console's
// light text over a dark background. Returns the length, or 0 when the
// code does not fit `size`.
int DashWhere_DrawQr(const char* text, char* out, int size);

// Prints where to open the page served on host:port: with host 0.0.0.0 one
// address and QR code per adapter address (DashWhere_Order's order),
// otherwise the one address.
void DashWhere_Print(const char* host, int port, FILE* out);
