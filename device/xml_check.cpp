#include "xml_check.h"

namespace tqdev
{

XmlCheck::XmlCheck() noexcept : parser_(XML_ParserCreate(nullptr)) {}

XmlCheck::~XmlCheck()
{
    if (parser_ != nullptr)
        XML_ParserFree(parser_);
}

bool XmlCheck::feed(const void *data, size_t len, bool last) noexcept
{
    // The callers' pieces are at most one I/O chunk, far below INT_MAX.
    return XML_Parse(parser_, static_cast<const char *>(data),
                     static_cast<int>(len), last) == XML_STATUS_OK;
}

std::string XmlCheck::error() const
{
    if (parser_ == nullptr)
        return "no memory for the XML parser";
    return "line " + std::to_string(XML_GetCurrentLineNumber(parser_)) +
           ", column " + std::to_string(XML_GetCurrentColumnNumber(parser_)) +
           ": " + XML_ErrorString(XML_GetErrorCode(parser_));
}

} // namespace tqdev
