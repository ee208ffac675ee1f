// The envsweep module's own entry, unchanged, under the name envsweep_entry: the
// extension holds all four entries, each of which is mexFunction in its module.
#define mexFunction envsweep_entry
#include "modules/envsweep.cpp"
