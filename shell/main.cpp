// shell/main.cpp: the program's entry point.
#include "shell/sys.h"

int main(int argc, char** argv) { Sys_Main(argc, argv); }
