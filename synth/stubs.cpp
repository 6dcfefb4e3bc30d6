// Placeholders until the synthesizer layer lands.
#include "include/vontrel.h"
#include "link/handle_table.h"

extern "C" int Vontrel_ReadStatus(unsigned long *status, void *, double *)
{
    if (status != nullptr) {
        *status = FT_NOT_SUPPORTED;
    }
    return -1;
}

extern "C" void Vontrel_WriteStatus(unsigned long *status, void *, double *)
{
    if (status != nullptr) {
        *status = FT_NOT_SUPPORTED;
    }
}
