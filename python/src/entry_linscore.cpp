// The linscore module's own entry, unchanged, under the name linscore_entry: the
// extension holds all four entries, each of which is mexFunction in its module.
#define mexFunction linscore_entry
#include "modules/linscore.cpp"
