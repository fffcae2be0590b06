#include "base/window.h"

namespace telvaro3 {

const char* FieldName(Field f) {
  switch (f) {
    case Field::StatusBox:
      return "StatusBox";
    case Field::FileBox:
      return "FileBox";
    case Field::RecCntBox:
      return "RecCntBox";
    case Field::RecordsBox:
      return "RecordsBox";
    case Field::complete:
      return "complete";
    case Field::MsgLabel:
      return "MsgLabel";
    case Field::Label1:
      return "Label1";
  }
  return "";
}

}  // namespace telvaro3
