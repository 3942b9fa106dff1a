// The dispatch contract on the virtual backend.
#define CONTRACT_SUITE VirtualContract
#include "Contract.inc"
