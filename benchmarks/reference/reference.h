// SPDX-License-Identifier: MIT
/*
 * The plainest implementation of the eight exports, with the library's
 * safety, as the yardstick of the instruction budgets (see reference.c).
 * Same arguments and results as the Vontrel_ functions of vontrel.h.
 */
#ifndef VONTREL_BENCH_REFERENCE_H
#define VONTREL_BENCH_REFERENCE_H

#ifdef __cplusplus
extern "C" {
#endif

int Reference_Open(unsigned long *status, int *devicesFound, int *handles, int *serialNumbers);
int Reference_Close(void *handle);
int Reference_ReadInfo(unsigned long *status, void *handle, int *SN, char *fRev, char *hRev,
                       char *calDate, char *IFband);
int Reference_ReadLD(unsigned long *status, void *handle, int *LDstatus);
void Reference_Preset(unsigned long *status, void *handle);
void Reference_SaveUserPreset(unsigned long *status, void *handle);
int Reference_ReadStatus(unsigned long *status, void *handle, double *Values);
void Reference_WriteStatus(unsigned long *status, void *handle, double *Values);

#ifdef __cplusplus
}
#endif

#endif
