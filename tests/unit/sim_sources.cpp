// The stand-in simulator is a program of its own, outside tarmis_core; its
// recording reader and writer are compiled into the unit tests here so that
// sim_ibt_test can drive them directly.
#include "tools/simulator/ibt.cpp"
