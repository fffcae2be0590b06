#include "base/codes.h"
#include "base/system.h"

namespace telvaro3 {

std::string RunTimeErrorText(int16_t number) {
  switch (number) {
    case 5:
      return "Invalid procedure call or argument";
    case 6:
      return "Overflow";
    case 7:
      return "Out of memory";
    case 48:
      return "Error in loading DLL";
    case 52:
      return "Bad file name or number";
    case 53:
      return "File not found";
    case 54:
      return "Bad file mode";
    case 55:
      return "File already open";
    case 57:
      return "Device I/O error";
    case 61:
      return "Disk full";
    case 62:
      return "Input past end of file";
    case 64:
      return "Bad file name";
    case 67:
      return "Too many files";
    case 68:
      return "Device unavailable";
    case 70:
      return "Permission denied";
    case 71:
      return "Disk not ready";
    case 75:
      return "Path/File access error";
    case 76:
      return "Path not found";
    default:
      return "Application-defined or object-defined error";
  }
}

int16_t MapRunTimeError(int16_t number) {
  switch (number) {
    case kRteFileNotFound:
      return kErrFileNotFound;
    case kRteDiskFull:
      return kErrDiskFullWriting;
    case kRteBadFileName:
      return kErrIllegalHeading;
    case kRtePathNotFound:
      return kErrPathNotFound;
    default:
      return kErrGeneralFailure;
  }
}

}  // namespace telvaro3
