// The bound on element nesting shared by every XML read (configuration, envelopes, tickets). expat
// keeps a record for every open element, so millions of nested tags would take gigabytes; a reader
// counts its start and end tags here, and past kMaxXmlDepth the parser is stopped and the parse
// fails with "elements nested deeper than 256 levels" as its error. No real document comes near.
#pragma once

#include <expat.h>

namespace zel {

inline constexpr int kMaxXmlDepth = 256;

class XmlDepthLimit {
 public:
  XmlDepthLimit() = default;
  explicit XmlDepthLimit(XML_Parser parser) : parser_(parser) {}
  void attach(XML_Parser parser) { parser_ = parser; }

  // At every start tag: false once the nesting passes the limit, the parser then stopped.
  bool enter();
  // At every end tag.
  void leave();
  // The text for a parse that failed: the limit when it stopped the parse, else expat's own error.
  const char* errorText() const;

 private:
  XML_Parser parser_ = nullptr;
  int depth_ = 0;
  bool exceeded_ = false;
};

}  // namespace zel
