// Well-formedness check of an XML document that arrives in pieces (expat).
#ifndef TQDEVICE_XML_CHECK_H
#define TQDEVICE_XML_CHECK_H

#include <expat.h>
#include <stddef.h>

#include <string>

namespace tqdev
{

class XmlCheck
{
  public:
    XmlCheck() noexcept;
    ~XmlCheck();
    XmlCheck(const XmlCheck &) = delete;
    XmlCheck &operator=(const XmlCheck &) = delete;

    // false when the parser could not be made (no memory).
    bool ready() const noexcept { return parser_ != nullptr; }
    // Feeds the next piece (at most io_chunk bytes); last marks the end.  false
    // once the document is known not to be well-formed.
    bool feed(const void *data, size_t len, bool last) noexcept;
    // Why the document is not well-formed: "line 3, column 7: mismatched tag".
    std::string error() const;

  private:
    XML_Parser parser_;
};

} // namespace tqdev

#endif
