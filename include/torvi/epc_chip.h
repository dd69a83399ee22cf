/* The EPC chip processing library: the sensor's configuration and its DRNU
 * calibration tables.
 *
 * Every opened EPC camera keeps its own chip model; these calls and globals
 * act on the default chip, the one of the EPC camera whose driver start-up
 * ran last (or a stand-alone chip when there is none). Register access goes
 * to that camera's sensor (target 1 of torvi_reg_batch_read/_write).
 *
 * Results: 0 on success and -1 on failure where a call reports at all. The
 * calls take no lock: call them from one thread at a time, and not while a
 * frame of the default camera is decoded. */
#ifndef TORVI_EPC_CHIP_H
#define TORVI_EPC_CHIP_H

#include <stdint.h>
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

/* Register access of the sensor at address `addr` (< 128): op 'r' reads and
 * 'w' writes `cnt` (<= 257) registers from `reg` (< 256), one byte each in
 * buf; 's' resets the sensor; 'd' lists the device addresses (32, then 255);
 * 'l' does nothing. Failures print a line to standard output. */
TORVI_API int i2c(int addr, int op, int reg, int cnt, uint8_t *buf);

TORVI_API void configSetPartType(int t);
TORVI_API int configGetPartType(void);
TORVI_API void configSetPartVersion(int v);
TORVI_API void configSetIcVersion(int v);
TORVI_API int configGetIcVersion(void);
TORVI_API void configSetWaferID(int id);
TORVI_API int configGetWaferID(void);
TORVI_API void configSetChipID(int id);
TORVI_API int configGetChipID(void);
TORVI_API void configSetDeviceAddress(int addr);
TORVI_API int configGetDeviceAddress(void);
TORVI_API int configIsFLIM(void);
TORVI_API int configGetModFreqMode(void);
TORVI_API void epcSetExtModEnable(int flag);
TORVI_API int epcgetExtModEnable(void);

/* Start-up of the chip: delay line, modulation table, calibration load. */
TORVI_API void configInit(int addr);
TORVI_API void configLoadParameters(void);
/* Modes 0..6 select 36000, 24000, 12000, 6000, 3000, 1500 and 750 kHz with
 * the default clock; any other value acts as mode 2. */
TORVI_API void configSetModulationFrequency(int mode, int addr);
/* Current modulation frequency in kHz. */
TORVI_API int configGetModulationFrequency(void);
/* Microseconds, at most 4000; -1 (nothing changed) above. */
TORVI_API int configSetIntegrationTime3D(unsigned t);
TORVI_API int configGetIntegrationTime3D(void);
TORVI_API int configEnableHDR(int flag, int addr);
TORVI_API int calculationIsHDR(void);
TORVI_API int configEnableABS(int flag, int addr);
TORVI_API int configIsABS(int addr);
TORVI_API void printChipParam(void);

/* Calibration file names (with the "_10.bin" suffix) into buf (at least 64
 * bytes); the length of the name without the suffix. */
TORVI_API int calibrationGetDistanceImagesName(char *buf);
TORVI_API int calibrationGetParamName(char *buf);
/* 0 when the distance-image file opens in the path prefix, else -1. */
TORVI_API int calibrationDataFileCheck(int src);
TORVI_API int calibrationLoadDRNU_LUT(void);
TORVI_API int calibrationLoadDistanceImages(int set);
TORVI_API int calibrateGetTempCalib(void);
TORVI_API int calibrateGetIbTempCalib(void);
TORVI_API double calibrateGetStepCalMM(void);
TORVI_API int calibrationGetOffsetDRNU(void);
TORVI_API int calibrateGetNumDistances(void);
/* Modulation frequency (kHz) the calibration was taken at: that of the
 * parameter file, else 12000. */
TORVI_API int calibrateGetCalibFrequency(void);
/* 1 when the distance images are loaded into the table, else 0. */
TORVI_API int calibrationIsLoaded(void);

/* Row order conversions: sensor raw order -> image order (sort) and back
 * (unsort), width x height 16-bit values; height even; no overlap. */
TORVI_API void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int width, int height);
TORVI_API void calc_dcs_unsort(uint16_t *dst, const uint16_t *src, int width, int height);

/* The default chip's DRNU table: set s, pixel p (raw order), image k at
 * [s][p * calibrateGetNumDistances() + k]; and its linear correction. */
#define TORVI_DRNU_SET_VALUES (328 * 252 * 30)
TORVI_API extern uint16_t distImagesDRNU[2][TORVI_DRNU_SET_VALUES];
TORVI_API extern int32_t g_calib_scale_m;
TORVI_API extern int32_t g_calib_offset_mm;

TORVI_END_DECLS

#endif /* TORVI_EPC_CHIP_H */
