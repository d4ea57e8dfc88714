// The stand-in simulator is a program of its own, outside tarmis_core; its
// pieces (everything but its entry point) are compiled into the unit tests
// here so the sim_* tests can drive them directly.
#include "tools/simulator/drive.cpp"
#include "tools/simulator/field.cpp"
#include "tools/simulator/layout.cpp"
#include "tools/simulator/script.cpp"
#include "tools/simulator/sessioninfo.cpp"
#include "tools/simulator/variables.cpp"
#include "tools/simulator/ibt.cpp"
