// TXmlDocument and TXmlNode: the document operations the manager edits its XML files with, over
// libxml2. Every failing operation throws CMessageException, which the window shows.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct _xmlNode;

namespace Ovrin {

class TXmlDocument;

// A node of a document, or none (IsNull). Copies refer to the same node and keep the document
// alive.
class TXmlNode {
public:
    TXmlNode() = default;

    bool IsNull() const { return node == nullptr; }
    explicit operator bool() const { return node != nullptr; }
    bool operator==(const TXmlNode& other) const { return node == other.node; }

    std::string Name() const;
    bool IsElement() const;
    bool IsAttribute() const;

    // XPath 1.0 relative to this node; SelectNodes gives document order.
    TXmlNode SelectSingleNode(const std::string& xpath) const;
    std::vector<TXmlNode> SelectNodes(const std::string& xpath) const;

    // An element's concatenated text content, an attribute's value.
    std::string Text() const;
    void SetText(const std::string& text);

    TXmlDocument OwnerDocument() const;
    TXmlNode AppendChild(const TXmlNode& child);
    // A null reference appends.
    TXmlNode InsertBefore(const TXmlNode& child, const TXmlNode& reference);
    TXmlNode RemoveChild(const TXmlNode& child);
    TXmlNode ParentNode() const;
    TXmlNode NextSibling() const;
    TXmlNode FirstChild() const;
    bool HasChildNodes() const;
    // Adds the attribute to this element, replacing one of the same name.
    TXmlNode SetNamedItem(const TXmlNode& attribute);
    // Removes this element's attribute of that name, if it has one.
    void RemoveNamedItem(const std::string& name);
    // Two elements with the same elements, attributes and text in the same order, whatever the
    // indentation, with the attribute of the given name (if any) left out.
    bool SameContent(const TXmlNode& other, const std::string& ignoredAttribute = "") const;

private:
    friend class TXmlDocument;
    struct TState;
    TXmlNode(std::shared_ptr<TState> state, _xmlNode* node) : state(std::move(state)), node(node) {}
    _xmlNode* Checked(const char* operation) const;

    std::shared_ptr<TState> state;
    _xmlNode* node = nullptr;
};

class TXmlDocument {
public:
    TXmlDocument();  // empty, without a root element

    // Parses the whole file; false for a missing or malformed file (the document is then empty).
    bool Load(const std::string& path);
    // Writes the whole document, replacing the file only once the new one is complete.
    void Save(const std::string& path) const;

    TXmlNode DocumentElement() const;
    // The document node itself, for queries from the top.
    TXmlNode Root() const;
    TXmlNode SelectSingleNode(const std::string& xpath) const { return Root().SelectSingleNode(xpath); }
    std::vector<TXmlNode> SelectNodes(const std::string& xpath) const { return Root().SelectNodes(xpath); }

    TXmlNode CreateElement(const std::string& name);
    TXmlNode CreateAttribute(const std::string& name);

private:
    friend class TXmlNode;
    explicit TXmlDocument(std::shared_ptr<TXmlNode::TState> state) : state(std::move(state)) {}
    std::shared_ptr<TXmlNode::TState> state;
};

}  // namespace Ovrin
