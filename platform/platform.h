// platform/platform.h: every operating-system call the program makes.
//
// One header per group of operations; each has a Windows implementation in
// platform/win32/ and a Linux one in platform/linux/. Nothing outside
// platform/ includes a system header.
//   sys.h     process, clock, console, current directory, sleep
//   net.h     the UDP socket and the host's addresses
//   shm.h     the simulator's shared memory and data-valid event, wall clock
//   window.h  the simulator's window and the key messages posted to it
//   dashnet.h the dashboard stand-in's own UDP socket and terminal check
//   simhost.h the simulator's side of those objects (the stand-in simulator)
#pragma once

#include "platform/simhost.h"
#include "platform/sys.h"
#include "platform/net.h"
#include "platform/shm.h"
#include "platform/window.h"
#include "platform/dashnet.h"
