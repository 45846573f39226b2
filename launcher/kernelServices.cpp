#include "kernelServices.h"

// The log lock is set up during static initialisation and reaches the platform
// through this table, so the table must be filled before any other static
// object of the program is constructed.
KernelServices kernel __attribute__((init_priority(101)));
