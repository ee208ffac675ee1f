// The patchwarp module's own entry, unchanged, under the name patchwarp_entry: the
// extension holds all four entries, each of which is mexFunction in its module.
#define mexFunction patchwarp_entry
#include "modules/patchwarp.cpp"
