#include "config/XmlDepthLimit.h"

#include <string>

namespace zel {

bool XmlDepthLimit::enter() {
  if (++depth_ <= kMaxXmlDepth) return true;
  if (!exceeded_ && parser_) XML_StopParser(parser_, XML_FALSE);
  exceeded_ = true;
  return false;
}

void XmlDepthLimit::leave() {
  if (depth_ > 0) --depth_;
}

const char* XmlDepthLimit::errorText() const {
  static const std::string tooDeep = "elements nested deeper than " + std::to_string(kMaxXmlDepth) + " levels";
  if (exceeded_) return tooDeep.c_str();
  return parser_ ? XML_ErrorString(XML_GetErrorCode(parser_)) : "";
}

}  // namespace zel
