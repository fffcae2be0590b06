// The numbers the program's procedures and its serial component speak in, by name. The values
// are fixed: results are shown to the user by number ("Err(71) Path not found."), and the
// component's states and events are its interface.
#pragma once

#include <cstdint>

namespace telvaro3 {

// Result of a run, and of every procedure that can end one: 0 success, else the number of the
// result message. Codes climb back to the run sequence unchanged.
enum ResultCode : int16_t {
  kOk = 0,
  kErrFileNotFound = 1,         // "Err(1) File: NAME  not found."
  kErrFileNameFormat = 2,       // a name or path the checks refuse
  kErrTooManyRecords = 3,       // more than 32767 lines to send
  kErrFieldLength = 4,          // a field length outside 1 to 99
  kErrFieldCount = 5,           // more than 16 fields
  kErrRecordLength = 6,         // fields and their lengths add up to more than 255
  kErrParameterMismatch = 7,    // a field list given for a program file
  kErrFieldLengthNotFound = 8,  // no field list anywhere for a data file
  kErrOptionMismatch = 9,       // an option the command line does not know
  // "Communications error." The block protocol's receiving side and the YModem sending side use
  // 51 and 53, its sending side and the YModem receiving side 52 and 54.
  kErrCommsTimeoutReceiving = 51,  // the time-out limit ran out (YModem: the peer never started)
  kErrCommsTimeoutSending = 52,
  kErrCommsNakLimitReceiving = 53,  // the tenth NAK (YModem: the transfer broke off)
  kErrCommsNakLimitSending = 54,
  kErrCommsEndedByPeer = 55,   // the terminal gave up with EOT (YModem: it stopped)
  kErrDiskFullWriting = 61,    // a write found the disk full; "Error 61 OCCURED"
  kErrIllegalHeading = 70,     // a heading or an announced name the PC refuses
  kErrPathNotFound = 71,       // the received file cannot be made
  kErrDiskFull = 72,           // no room for the announced file
  kErrHeaderName = 79,         // a name outside the terminal's accepted files
  kErrCancelled = 90,          // Cancel, or a stop signal
  kErrGeneralFailure = 99,     // any other fault; the report adds the platform error
  kErrPortNotAvailable = 101,  // the port did not open, or its device is not there
  kErrPortError = 102,         // any other fault while opening the port
};

// Platform run-time error numbers, as the result report and the mapping to results know them.
enum RunTimeErrorNumber : int16_t {
  kRteFileNotFound = 53,
  kRteFileAlreadyOpen = 55,
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
