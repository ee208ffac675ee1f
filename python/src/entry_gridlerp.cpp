// The gridlerp module's own entry, unchanged, under the name gridlerp_entry: the
// extension holds all four entries, each of which is mexFunction in its module.
#define mexFunction gridlerp_entry
#include "modules/gridlerp.cpp"
