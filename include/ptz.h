/*
 * ptz.h - public interface of the ptz pan/tilt head communication library.
 *
 * The library talks to pan/tilt heads' controllers over a serial port at
 * 38400 baud or a TCP connection: it turns each call into one request frame,
 * exchanges it, checks the response and hands decoded values back through
 * the caller's pointers.
 *
 * Two interfaces over the same commands:
 *  - the classic exports (PTZ_DevOpen ... PTZ_EepBurn): one link per
 *    process, one process-wide last-error record (PTZ_GetLastError);
 *  - the handle exports (PTZ_Link...): any number of links at once, each
 *    named by a positive handle, used from any threads; each thread has its
 *    own last-error record (PTZ_LinkLastError).
 *
 * Every export returns PTZ_OK (0), PTZ_FAILED (1) or PTZ_BAD_PARAM (2).
 * After PTZ_FAILED, the last-error record tells why. Outputs are written only
 * on PTZ_OK; a failed call leaves the caller's memory untouched.
 *
 * Usable from C and C++. On 32-bit Windows every export is __stdcall.
 */
#ifndef PTZ_H
#define PTZ_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define PTZ_CALL __stdcall
#else
#define PTZ_CALL
#endif

#if defined(_WIN32)
#define PTZ_API
#elif defined(__GNUC__)
#define PTZ_API __attribute__((visibility("default")))
#else
#define PTZ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes of every export. */
#define PTZ_OK 0        /* the call did what it was asked */
#define PTZ_FAILED 1    /* no link / open failed / exchange or response check failed */
#define PTZ_BAD_PARAM 2 /* an argument was rejected; nothing was sent */

/* Link states. */
#define PTZ_LINK_CLOSED (-1)
#define PTZ_LINK_SERIAL 0
#define PTZ_LINK_LAN 1

/* Last-error kinds. */
#define PTZ_ERRKIND_RESPONSE 0 /* the head's response was rejected (codes 1100-1103) */
#define PTZ_ERRKIND_LINK 1     /* the exchange failed (codes 1002, 1004-1006) */
#define PTZ_ERRKIND_OS 2       /* opening/closing the port failed: OS error number */

/* Last-error codes. */
#define PTZ_ERR_OS_CALL 1002      /* an operating-system call failed during an exchange */
#define PTZ_ERR_TIMEOUT 1004      /* fewer bytes than expected moved within the time limit */
#define PTZ_ERR_NAK 1005          /* the head answered NAK on every attempt */
#define PTZ_ERR_BAD_ACK 1006      /* the acknowledgement byte was neither STX nor NAK */
#define PTZ_ERR_HOST 1007         /* (handle open) the host name or address cannot be resolved */
#define PTZ_ERR_NO_HANDLE 1008    /* (handle open) every link handle is in use */
#define PTZ_ERR_RESP_MARK 1100    /* response byte 1 is not '@' */
#define PTZ_ERR_RESP_COMMAND 1101 /* response does not echo the request's command */
#define PTZ_ERR_RESP_STATUS 1102  /* the head refused the command (status byte not 0) */
#define PTZ_ERR_RESP_BCC 1103     /* response block check byte is wrong */

/* Serial exchange constants. */
#define PTZ_SERIAL_ATTEMPTS 4
#define PTZ_SERIAL_TIMEOUT_MS 5000

/* System information: three texts of up to 13 characters, each zero-terminated. */
typedef struct PTZ_SYSTEM_INFO {
    char text0[16];
    char text1[16];
    char text2[16];
    char spare[16]; /* always zero after a successful call */
} PTZ_SYSTEM_INFO;

/* Four setting bytes, zero-extended (0-255). */
typedef struct PTZ_SYSTEM_SETTING_INFO {
    int32_t setting0;
    int32_t setting1;
    int32_t setting2;
    int32_t setting3;
} PTZ_SYSTEM_SETTING_INFO;

/* Four status flags: 1 when the head's status byte is 0x00, otherwise 0. */
typedef struct PTZ_STATUS {
    int32_t flag0;
    int32_t flag1;
    int32_t flag2;
    int32_t flag3;
} PTZ_STATUS;

/* ---- Link management ---------------------------------------------------- */

/* Opens serial port COM<port> (on Linux /dev/ttyS<port-1>). PTZ_FAILED if a
 * link is open or the port cannot be opened (LastError kind 2, OS error). */
PTZ_API int32_t PTZ_CALL PTZ_DevOpen(int32_t port);

/* Opens a TCP link to a dotted IPv4 address and port. PTZ_FAILED if a link is
 * open or the connection fails within 5 s (LastError left as it was). */
PTZ_API int32_t PTZ_CALL PTZ_LanOpen(const char *address, int32_t port);

/* Closes the open link. PTZ_FAILED if none is open. */
PTZ_API int32_t PTZ_CALL PTZ_DevClose(void);

/* Copies the last-error record (kind, code); (0, 0) if nothing failed yet. */
PTZ_API int32_t PTZ_CALL PTZ_GetLastError(int32_t *kind, int32_t *code);

/* Opens a serial link by device path ("/dev/ttyUSB0", "COM12", "\\\\.\\COM12"). */
PTZ_API int32_t PTZ_CALL PTZ_DevOpenPath(const char *device);

/* Writes a zero-terminated English explanation of an error kind/code pair,
 * truncated to fit `size` bytes. */
PTZ_API int32_t PTZ_CALL PTZ_GetErrorText(int32_t kind, int32_t code, char *buffer, int32_t size);

/* ---- Device commands ---------------------------------------------------- */

/* Initialises the head's controller (command 0x19). */
PTZ_API int32_t PTZ_CALL PTZ_ExecInitialize(void);

/* -- Information and status -- */
/* Reads the head's three system texts (each at most 13 characters). */
PTZ_API int32_t PTZ_CALL PTZ_GetSystemInfo(PTZ_SYSTEM_INFO *info);
/* Reads the four setting bytes. */
PTZ_API int32_t PTZ_CALL PTZ_GetSystemSettingInfo(PTZ_SYSTEM_SETTING_INFO *setting_info);
/* Reads the four status flags. */
PTZ_API int32_t PTZ_CALL PTZ_GetPTZStatus(PTZ_STATUS *status_info);

/* -- Motor control (the head decides what motor numbers mean) -- */
/* Runs the motor's home-position operation. */
PTZ_API int32_t PTZ_CALL PTZ_ExecMotorHP(int32_t motor);
/* Moves a motor to a signed 32-bit position; `param` is passed to the head. */
PTZ_API int32_t PTZ_CALL PTZ_SetMotorPos(int32_t motor, int32_t param, int32_t position);
/* Reads a motor's signed 32-bit position. */
PTZ_API int32_t PTZ_CALL PTZ_GetMotorPos(int32_t motor, int32_t *position);
/* Drives a motor with one parameter byte. */
PTZ_API int32_t PTZ_CALL PTZ_ActMotor(int32_t motor, int32_t param);
/* Stops a motor. */
PTZ_API int32_t PTZ_CALL PTZ_StopMotor(int32_t motor);
/* Reads a motor's speed (0-255); `motor` must be 0 or 4. */
PTZ_API int32_t PTZ_CALL PTZ_GetMotorSpeed(int32_t motor, int32_t *speed);
/* Sets a motor's speed (low 8 bits of each argument are sent). */
PTZ_API int32_t PTZ_CALL PTZ_SetMotorSpeed(int32_t motor, int32_t speed);

/* -- Pan/tilt -- */
/* Moves pan and tilt together to signed 32-bit positions. */
PTZ_API int32_t PTZ_CALL PTZ_SetPTPos(int32_t param, int32_t pan, int32_t tilt);
/* Reads the combined pan/tilt position. */
PTZ_API int32_t PTZ_CALL PTZ_GetPTPos(int32_t *pan, int32_t *tilt);
/* Reads the pan/tilt synchronisation mode (0-255). */
PTZ_API int32_t PTZ_CALL PTZ_GetPanTiltSyncMode(int32_t *mode);
/* Sets the pan/tilt synchronisation mode, 0 or 1. */
PTZ_API int32_t PTZ_CALL PTZ_SetPanTiltSyncMode(int32_t mode);

/* -- Home position, presets, automatic motion -- */
/* Stores the user home position; `flag` 0 or 1. */
PTZ_API int32_t PTZ_CALL PTZ_SetUserHP(int32_t flag);
/* Moves to the user home position (returns when the head has accepted). */
PTZ_API int32_t PTZ_CALL PTZ_MoveUserHP(void);
/* Stores preset 1-16; `flag` 0 or 1. */
PTZ_API int32_t PTZ_CALL PTZ_SetPresetPos(int32_t preset, int32_t flag);
/* Moves to preset 1-16. */
PTZ_API int32_t PTZ_CALL PTZ_MovePresetPos(int32_t preset);
/* Reads the automatic-return byte (0-255). */
PTZ_API int32_t PTZ_CALL PTZ_GetAutoReturn(int32_t *autoReturn);
/* Sets the automatic-return byte (low 8 bits are sent). */
PTZ_API int32_t PTZ_CALL PTZ_SetAutoReturn(int32_t autoReturn);
/* Starts (mode 2) or stops (mode 0) automatic panning; reserved1/2 are ignored. */
PTZ_API int32_t PTZ_CALL PTZ_ExecAutoPan(int32_t mode, int32_t reserved1, int32_t reserved2);

/* -- Infrared and EEPROM -- */
/* Sets the infrared control, 0 or 1. */
PTZ_API int32_t PTZ_CALL PTZ_SetIrControl(int32_t control);
/* Reads `count` (0-248) EEPROM bytes from a 16-bit address into `buffer`. */
PTZ_API int32_t PTZ_CALL PTZ_EepRead(int32_t address, int32_t count, uint8_t *buffer);
/* Writes `count` (0-246) bytes of `data` to the EEPROM at a 16-bit address. */
PTZ_API int32_t PTZ_CALL PTZ_EepWrite(int32_t address, int32_t count, const uint8_t *data);
/* Commits the EEPROM (burn). */
PTZ_API int32_t PTZ_CALL PTZ_EepBurn(void);

/* ---- Links by handle -------------------------------------------------------
 *
 * A link is named by a positive handle. Handles of closed links are refused
 * with PTZ_BAD_PARAM (even when their number comes round again), as are NULL
 * pointers and rejected arguments. Failures are recorded in the calling
 * thread's own record, read with PTZ_LinkLastError; the classic record is
 * never touched by these calls. Commands on one link are serialised by its
 * own lock; different links run in parallel.
 */

/* Opens a TCP link to `host` (dotted IPv4, IPv6 or a host name; each resolved
 * address is tried in turn, 5 s in all) on `port` 1-65535. On failure *link
 * is untouched; the record holds (2, OS error) for a refused or unreachable
 * peer, (1, 1004) for a time-out, (1, 1007) for a name that does not resolve. */
PTZ_API int32_t PTZ_CALL PTZ_LinkOpenLan(const char *host, int32_t port, int32_t *link);
/* Opens a serial link on COM<port>, set up as PTZ_DevOpen does. */
PTZ_API int32_t PTZ_CALL PTZ_LinkOpenCom(int32_t port, int32_t *link);
/* Opens a serial link on a device path, set up as PTZ_DevOpenPath does. */
PTZ_API int32_t PTZ_CALL PTZ_LinkOpenPath(const char *device, int32_t *link);
/* Closes a link; waits for a command running on it to end first. */
PTZ_API int32_t PTZ_CALL PTZ_LinkClose(int32_t link);
/* The calling thread's last failure in a PTZ_Link... call; (0, 0) if none. */
PTZ_API int32_t PTZ_CALL PTZ_LinkLastError(int32_t *kind, int32_t *code);

/* The device commands on a link: the classic command's arguments after the
 * handle, with the same frames, checks and results. */
PTZ_API int32_t PTZ_CALL PTZ_LinkGetSystemInfo(int32_t link, PTZ_SYSTEM_INFO *info);
PTZ_API int32_t PTZ_CALL PTZ_LinkGetSystemSettingInfo(int32_t link, PTZ_SYSTEM_SETTING_INFO *setting_info);
PTZ_API int32_t PTZ_CALL PTZ_LinkSetIrControl(int32_t link, int32_t control);
PTZ_API int32_t PTZ_CALL PTZ_LinkExecInitialize(int32_t link);
PTZ_API int32_t PTZ_CALL PTZ_LinkExecMotorHP(int32_t link, int32_t motor);
PTZ_API int32_t PTZ_CALL PTZ_LinkSetMotorPos(int32_t link, int32_t motor, int32_t param, int32_t position);
PTZ_API int32_t PTZ_CALL PTZ_LinkGetMotorPos(int32_t link, int32_t motor, int32_t *position);
PTZ_API int32_t PTZ_CALL PTZ_LinkActMotor(int32_t link, int32_t motor, int32_t param);
PTZ_API int32_t PTZ_CALL PTZ_LinkStopMotor(int32_t link, int32_t motor);
PTZ_API int32_t PTZ_CALL PTZ_LinkGetMotorSpeed(int32_t link, int32_t motor, int32_t *speed);
PTZ_API int32_t PTZ_CALL PTZ_LinkSetMotorSpeed(int32_t link, int32_t motor, int32_t speed);
PTZ_API int32_t PTZ_CALL PTZ_LinkSetUserHP(int32_t link, int32_t flag);
PTZ_API int32_t PTZ_CALL PTZ_LinkMoveUserHP(int32_t link);
PTZ_API int32_t PTZ_CALL PTZ_LinkSetPresetPos(int32_t link, int32_t preset, int32_t flag);
PTZ_API int32_t PTZ_CALL PTZ_LinkMovePresetPos(int32_t link, int32_t preset);
PTZ_API int32_t PTZ_CALL PTZ_LinkGetAutoReturn(int32_t link, int32_t *autoReturn);
PTZ_API int32_t PTZ_CALL PTZ_LinkSetAutoReturn(int32_t link, int32_t autoReturn);
PTZ_API int32_t PTZ_CALL PTZ_LinkExecAutoPan(int32_t link, int32_t mode, int32_t reserved1, int32_t reserved2);
PTZ_API int32_t PTZ_CALL PTZ_LinkGetPTZStatus(int32_t link, PTZ_STATUS *status_info);
PTZ_API int32_t PTZ_CALL PTZ_LinkSetPTPos(int32_t link, int32_t param, int32_t pan, int32_t tilt);
PTZ_API int32_t PTZ_CALL PTZ_LinkGetPTPos(int32_t link, int32_t *pan, int32_t *tilt);
PTZ_API int32_t PTZ_CALL PTZ_LinkGetPanTiltSyncMode(int32_t link, int32_t *mode);
PTZ_API int32_t PTZ_CALL PTZ_LinkSetPanTiltSyncMode(int32_t link, int32_t mode);
PTZ_API int32_t PTZ_CALL PTZ_LinkEepRead(int32_t link, int32_t address, int32_t count, uint8_t *buffer);
PTZ_API int32_t PTZ_CALL PTZ_LinkEepWrite(int32_t link, int32_t address, int32_t count, const uint8_t *data);
PTZ_API int32_t PTZ_CALL PTZ_LinkEepBurn(int32_t link);

#ifdef __cplusplus
}
#endif

#endif /* PTZ_H */
