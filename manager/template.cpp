// ApplyTemplate: walking and making the steps of a template.
#include "manager/template.h"

#include "common/exception.h"
#include "manager/globals.h"

namespace Ovrin {

namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

TXmlNode NewElement(const TXmlNode& current, const std::string& name, const std::string& value) {
    if (name.empty())
        throw CMessageException("Template step without an element name");
    TXmlNode element = current.OwnerDocument().CreateElement(name);
    if (!value.empty())
        element.SetText(value);
    return element;
}

TXmlNode Parent(const TXmlNode& node) {
    TXmlNode parent = node.ParentNode();
    if (!parent)
        throw CMessageException("Template step on a node without a parent: %s", node.Name().c_str());
    return parent;
}

}  // namespace

TXmlNode ApplyTemplate(const TXmlNode& start, const std::string& templateText) {
    if (!start)
        throw CMessageException("Template applied to no node: %s", templateText.c_str());
    // A fresh GUID cannot occur in the template, so it safely stands for an escaped slash.
    const std::string slash = "{" + NewGuidString() + "}";
    std::string rest = TrimBlanks(templateText);
    ReplaceAll(rest, "\\/", slash);
    TXmlNode current = start;
    while (!rest.empty()) {
        std::string step;
        size_t cut = rest.find('/');
        if (cut == std::string::npos) {
            step = TrimBlanks(rest);
            rest.clear();
        } else {
            step = TrimBlanks(rest.substr(0, cut));
            rest = TrimBlanks(rest.substr(cut + 1));
        }
        ReplaceAll(step, slash, "/");
        std::string name, value;
        size_t equals = step.find('=');
        if (equals == std::string::npos) {
            name = step;
        } else {
            name = TrimBlanks(step.substr(0, equals));
            value = TrimBlanks(step.substr(equals + 1));
        }
        if (name.empty())
            continue;
        if (name[0] == '@') {
            TXmlNode attribute = current.OwnerDocument().CreateAttribute(name.substr(1));
            current.SetNamedItem(attribute);
            attribute.SetText(value);
        } else if (name[0] == '!') {
            TXmlNode found = current.SelectSingleNode(name.substr(1));
            current = found ? found : current.AppendChild(NewElement(current, name.substr(1), value));
        } else if (name == "..") {
            current = Parent(current);
        } else if (name == "-") {
            while (TXmlNode child = current.FirstChild())
                current.RemoveChild(child);
        } else if (name[0] == '<') {
            current = Parent(current).InsertBefore(NewElement(current, name.substr(1), value), current);
        } else if (name[0] == '>') {
            current = Parent(current).InsertBefore(NewElement(current, name.substr(1), ""), current.NextSibling());
        } else {
            current = current.AppendChild(NewElement(current, name, value));
        }
    }
    return current;
}

}  // namespace Ovrin
