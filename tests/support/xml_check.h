#pragma once
// A small well-formedness check of XML documents, enough for the diagnostics file: one
// optional declaration, one root element, properly nested elements with quoted attributes,
// character and entity references, well-formed UTF-8 without the control characters XML
// forbids. No DTD, comments or CDATA sections (the diagnostics file has none).

#include <string>
#include <string_view>

namespace tolvo::test {

// An empty text when the document is well-formed, otherwise what is wrong and where.
std::string XmlProblem(std::string_view document);

}  // namespace tolvo::test
