// Reading and writing one element of a ruleset file.
#include "store/ruleset_element.h"

#include "common/exception.h"

namespace Ovrin {

namespace {

const xmlChar* XmlName(const std::string& text) { return reinterpret_cast<const xmlChar*>(text.c_str()); }

}  // namespace

std::string ReadElementText(xmlNodePtr element, const char* path) {
    if (!element)
        return std::string();
    CXPathContext context(element);
    return context.Eval("%s", path)->GetText();
}

uint32_t ReadElementNumber(xmlNodePtr element, const char* path) {
    if (!element)
        return 0;
    CXPathContext context(element);
    // Ten digits may exceed 2^31: the count is unsigned in memory and in the file.
    return static_cast<uint32_t>(context.Eval("%s", path)->GetNumber());
}

bool ReadElementBool(xmlNodePtr element, const char* path) {
    return TextToBool(ReadElementText(element, path));
}

std::vector<xmlNodePtr> SelectElements(xmlNodePtr element, const char* path) {
    std::vector<xmlNodePtr> nodes;
    if (!element)
        return nodes;
    CXPathContext context(element);
    CXPathObjectPtr result = context.Eval("%s", path);
    for (int i = 0; i < result->GetNodeCount(); ++i)
        nodes.push_back(result->GetNode(i));
    return nodes;
}

xmlNodePtr AddChildElement(xmlNodePtr parent, const std::string& name) {
    std::string safeName = ToXmlText(name);
    xmlNodePtr child = xmlNewChild(parent, nullptr, XmlName(safeName), nullptr);
    if (!child)
        throw CMessageException("Failed to create XML element '%s'", safeName.c_str());
    return child;
}

xmlNodePtr AddTextElement(xmlNodePtr parent, const std::string& name, const std::string& text) {
    std::string safeName = ToXmlText(name);
    std::string safeText = ToXmlText(text);
    // xmlNewTextChild escapes the text, so markup characters in scripts survive a save.
    xmlNodePtr child = xmlNewTextChild(parent, nullptr, XmlName(safeName), XmlName(safeText));
    if (!child)
        throw CMessageException("Failed to create XML element '%s'", safeName.c_str());
    return child;
}

void SetElementAttribute(xmlNodePtr element, const std::string& name, const std::string& value) {
    std::string safeName = ToXmlText(name);
    std::string safeValue = ToXmlText(value);
    if (!xmlSetProp(element, XmlName(safeName), XmlName(safeValue)))
        throw CMessageException("Failed to set XML attribute '%s'", safeName.c_str());
}

}  // namespace Ovrin
