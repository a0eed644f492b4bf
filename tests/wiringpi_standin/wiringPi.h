/* SPDX-License-Identifier: MIT */
/* The tests' stand-in for an installed wiringPi library's header: the three
 * functions the wiringpi board calls, with C linkage, as a C header. Only the
 * wiringpi preset's build sees it. */
#ifndef GET_PIN_WIRINGPI_STANDIN_H
#define GET_PIN_WIRINGPI_STANDIN_H

#ifdef __cplusplus
extern "C" {
#endif

int wiringPiSetupPhys(void);
void pinMode(int pin, int mode);
int digitalRead(int pin);

#ifdef __cplusplus
}
#endif

#endif
