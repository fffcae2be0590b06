// The numbers the program's procedures and its serial component speak in, by name. The values
// are fixed: results are shown to the user by number ("Err(71) Path not found."), and the
// component's states and events are its interface.
#pragma once

#include <cstdint>

namespace telvaro3 {

// Results of a run, and of every procedure that can end one (int16_t): 0 success, else the number
// of the result message. Codes climb back to the run sequence unchanged.
inline constexpr int16_t kOk = 0;
inline constexpr int16_t kErrFileNotFound = 1;         // "Err(1) File: NAME  not found."
inline constexpr int16_t kErrFileNameFormat = 2;       // a name or path the checks refuse
inline constexpr int16_t kErrTooManyRecords = 3;       // more than 32767 lines to send
inline constexpr int16_t kErrFieldLength = 4;          // a field length outside 1 to 99
inline constexpr int16_t kErrFieldCount = 5;           // more than 16 fields
inline constexpr int16_t kErrRecordLength = 6;         // the record longer than 255 in all
inline constexpr int16_t kErrParameterMismatch = 7;    // a field list for a program file
inline constexpr int16_t kErrFieldLengthNotFound = 8;  // no field list for a data file
inline constexpr int16_t kErrOptionMismatch = 9;       // an option nobody knows
// "Communications error." The block protocol's receiving side and the YModem sending side use
// 51 (the time-out limit; YModem: the peer never started) and 53 (the tenth NAK; YModem: the
// transfer broke off); its sending side and the YModem receiving side use 52 and 54. 55: the
// terminal gave up with EOT (YModem: it stopped).
inline constexpr int16_t kErrCommsTimeoutReceiving = 51;
inline constexpr int16_t kErrCommsTimeoutSending = 52;
inline constexpr int16_t kErrCommsNakLimitReceiving = 53;
inline constexpr int16_t kErrCommsNakLimitSending = 54;
inline constexpr int16_t kErrCommsEndedByPeer = 55;
inline constexpr int16_t kErrDiskFullWriting = 61;    // a write found the disk full
inline constexpr int16_t kErrIllegalHeading = 70;     // a heading or name the PC refuses
inline constexpr int16_t kErrPathNotFound = 71;       // the received file cannot be made
inline constexpr int16_t kErrDiskFull = 72;           // no room for the announced file
inline constexpr int16_t kErrHeaderName = 79;         // a name outside the accepted files
inline constexpr int16_t kErrCancelled = 90;          // Cancel, or a stop signal
inline constexpr int16_t kErrGeneralFailure = 99;     // any other fault
inline constexpr int16_t kErrPortNotAvailable = 101;  // the port is not there or did not open
inline constexpr int16_t kErrPortError = 102;         // any other fault opening the port

// Platform run-time error numbers, as the result report and the mapping to results know them.
enum RunTimeErrorNumber : int16_t {
  kRteInvalidCall = 5,
  kRteOutOfMemory = 7,
  kRteBadFileNumber = 52,
  kRteFileNotFound = 53,
  kRteBadFileMode = 54,
  kRteFileAlreadyOpen = 55,
  kRteDeviceIo = 57,
  kRteDiskFull = 61,
  kRteInputPastEnd = 62,
  kRteBadFileName = 64,
  kRteDeviceUnavailable = 68,
  kRtePermissionDenied = 70,
  kRteDiskNotReady = 71,
  kRtePathFileAccess = 75,
  kRtePathNotFound = 76,
};

// The serial component's event after a write.
enum PortEvent : int16_t {
  kEventNone = 0,
  kEventSent = 1,
  kEventErrorFirst = 1000,
  kEventErrorIgnored = 1001,  // reported by some devices on every write; not a fault
  kEventErrorLast = 1010,
};

// An event that ends a transfer: a port error other than the ignored one.
constexpr bool IsPortFault(int16_t event) {
  return event >= kEventErrorFirst && event <= kEventErrorLast && event != kEventErrorIgnored;
}

// States of the component's YModem facility (its TransferState).
enum YModemState : int32_t {
  kYModemFailed = -1,       // also after a cancel, and when the peer cancels once data flows
  kYModemIdle = 0,          // also: finished successfully
  kYModemWaitingStart = 1,  // waiting for the peer to start
  kYModemHeader = 2,        // a file announced (receiving: waiting to be let through)
  kYModemBetweenFiles = 3,
  kYModemBusy = 4,     // data blocks flowing
  kYModemStopped = 5,  // the peer cancelled before data moved, or a batch held no file
};

// What a block wait of the receiving side brought: ReceiveHeader and ReceiveData.
enum BlockReceipt : int16_t {
  kBlockGood = 0,       // a heading accepted (file made), or a record ready
  kBlockBad = 1,        // answer NAK
  kBlockMissing = 2,    // nothing whole within the wait
  kBlockCancelled = 3,  // Cancel during the wait
  kBlockEnq = 4,        // heading wait: the terminal asked for the link again
  kBlockRepeat = 5,     // text wait: the record before, again; ACK without storing
};

// What WriteRecord did with a record.
enum RecordWrite : int16_t {
  kRecordWritten = 0,
  kRecordCancelled = 3,  // Cancel was seen after the write; it counts before a failed write
};

}  // namespace telvaro3
