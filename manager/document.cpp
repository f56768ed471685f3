// The document state owns the libxml2 tree and every node taken out of it or not yet put in,
// so a node handle never outlives its memory.
#include "manager/document.h"

#include <algorithm>
#include <set>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include "common/exception.h"
#include "common/file.h"
#include "manager/globals.h"

namespace Ovrin {

namespace {

// The manager reports failures itself; libxml2 must not print on the terminal.
void Silent(void*, const char*, ...) {}

void QuietParser() {
    static bool done = [] {
        xmlInitParser();
        return true;
    }();
    (void)done;
    xmlSetGenericErrorFunc(nullptr, Silent);
}

const xmlChar* X(const std::string& text) { return reinterpret_cast<const xmlChar*>(text.c_str()); }

// Indentation and comments carry no content; a file written by another program differs in them.
bool Ignorable(xmlNodePtr node) {
    return node->type == XML_COMMENT_NODE || (node->type == XML_TEXT_NODE && xmlIsBlankNode(node));
}

xmlNodePtr NextContent(xmlNodePtr node) {
    while (node && Ignorable(node))
        node = node->next;
    return node;
}

std::string AttributeValue(xmlAttrPtr attribute) {
    xmlChar* value = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(attribute));
    std::string text = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return text;
}

std::vector<std::pair<std::string, std::string>> Attributes(xmlNodePtr node, const std::string& ignored) {
    std::vector<std::pair<std::string, std::string>> attributes;
    for (xmlAttrPtr a = node->type == XML_ELEMENT_NODE ? node->properties : nullptr; a; a = a->next)
        if (ignored != reinterpret_cast<const char*>(a->name))
            attributes.emplace_back(reinterpret_cast<const char*>(a->name), AttributeValue(a));
    std::sort(attributes.begin(), attributes.end());
    return attributes;
}

bool Same(xmlNodePtr a, xmlNodePtr b, const std::string& ignored) {
    if (a->type != b->type || !xmlStrEqual(a->name, b->name) || !xmlStrEqual(a->content, b->content) ||
        Attributes(a, ignored) != Attributes(b, ignored))
        return false;
    xmlNodePtr x = NextContent(a->children), y = NextContent(b->children);
    for (; x && y; x = NextContent(x->next), y = NextContent(y->next))
        if (!Same(x, y, ignored))
            return false;
    return !x && !y;
}

}  // namespace

struct TXmlNode::TState {
    xmlDocPtr document = nullptr;
    std::set<xmlNodePtr> detached;

    TState() {
        QuietParser();
        document = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
        if (!document)
            throw CMessageException("Unable to create an XML document");
    }
    ~TState() {
        // Only nodes outside every tree are freed; the others go with their tree. All are
        // looked at before any is freed.
        std::vector<xmlNodePtr> loose;
        for (xmlNodePtr node : detached)
            if (!node->parent)
                loose.push_back(node);
        for (xmlNodePtr node : loose)
            node->type == XML_ATTRIBUTE_NODE ? xmlFreeProp(reinterpret_cast<xmlAttrPtr>(node)) : xmlFreeNode(node);
        xmlFreeDoc(document);
    }
    TState(const TState&) = delete;
    TState& operator=(const TState&) = delete;
};

xmlNodePtr TXmlNode::Checked(const char* operation) const {
    if (!node)
        throw CMessageException("%s called on an empty node", operation);
    return node;
}

std::string TXmlNode::Name() const {
    xmlNodePtr n = Checked("nodeName");
    return n->name ? reinterpret_cast<const char*>(n->name) : "";
}

bool TXmlNode::IsElement() const { return node && node->type == XML_ELEMENT_NODE; }
bool TXmlNode::IsAttribute() const { return node && node->type == XML_ATTRIBUTE_NODE; }

std::vector<TXmlNode> TXmlNode::SelectNodes(const std::string& xpath) const {
    xmlNodePtr n = Checked("selectNodes");
    std::unique_ptr<xmlXPathContext, void (*)(xmlXPathContextPtr)> context(xmlXPathNewContext(state->document),
                                                                         xmlXPathFreeContext);
    if (!context)
        throw CMessageException("selectNodes(%s) failed: no XPath context", xpath.c_str());
    context->node = n;
    std::unique_ptr<xmlXPathObject, void (*)(xmlXPathObjectPtr)> result(xmlXPathEvalExpression(X(xpath), context.get()),
                                                                       xmlXPathFreeObject);
    if (!result)
        throw CMessageException("selectNodes(%s) failed: invalid XPath expression", xpath.c_str());
    if (result->type != XPATH_NODESET)
        throw CMessageException("selectNodes(%s) failed: the expression selects no nodes", xpath.c_str());
    std::vector<TXmlNode> nodes;
    if (result->nodesetval) {
        xmlXPathNodeSetSort(result->nodesetval);
        for (int i = 0; i < result->nodesetval->nodeNr; ++i)
            nodes.push_back(TXmlNode(state, result->nodesetval->nodeTab[i]));
    }
    return nodes;
}

TXmlNode TXmlNode::SelectSingleNode(const std::string& xpath) const {
    std::vector<TXmlNode> nodes = SelectNodes(xpath);
    return nodes.empty() ? TXmlNode() : nodes.front();
}

std::string TXmlNode::Text() const {
    xmlNodePtr n = Checked("text");
    xmlChar* content = xmlNodeGetContent(n);
    if (!content)
        return "";
    std::string text(reinterpret_cast<const char*>(content));
    xmlFree(content);
    return text;
}

// The content is set as one text node, taken literally (no entity references parsed).
void TXmlNode::SetText(const std::string& text) {
    xmlNodePtr n = Checked("text");
    if (n->type != XML_ELEMENT_NODE && n->type != XML_ATTRIBUTE_NODE)
        throw CMessageException("Unable to set the text of node %s", n->name ? reinterpret_cast<const char*>(n->name) : "");
    xmlNodePtr content = xmlNewDocTextLen(state->document, X(text), static_cast<int>(text.size()));
    if (!content)
        throw CMessageException("Unable to set the text of node %s", reinterpret_cast<const char*>(n->name));
    // The old content is kept until the document goes, as handles may still refer to it.
    while (xmlNodePtr old = n->children) {
        xmlUnlinkNode(old);
        state->detached.insert(old);
    }
    content->parent = n;
    n->children = n->last = content;
}

TXmlDocument TXmlNode::OwnerDocument() const {
    Checked("ownerDocument");
    return TXmlDocument(state);
}

TXmlNode TXmlNode::AppendChild(const TXmlNode& child) { return InsertBefore(child, TXmlNode()); }

TXmlNode TXmlNode::InsertBefore(const TXmlNode& child, const TXmlNode& reference) {
    xmlNodePtr parent = Checked("insertBefore");
    xmlNodePtr newNode = child.Checked("insertBefore");
    if (child.state != state || newNode->type == XML_ATTRIBUTE_NODE || newNode->type == XML_DOCUMENT_NODE)
        throw CMessageException("insertBefore: the node cannot be inserted here");
    for (xmlNodePtr up = parent; up; up = up->parent)
        if (up == newNode)
            throw CMessageException("insertBefore: a node cannot be inserted into itself");
    if (reference.node && reference.node->parent != parent)
        throw CMessageException("insertBefore: the reference node is not a child of this node");
    if (reference.node == newNode)
        return child;
    xmlUnlinkNode(newNode);
    xmlNodePtr added = reference.node ? xmlAddPrevSibling(reference.node, newNode) : xmlAddChild(parent, newNode);
    if (added != newNode)  // libxml2 merged adjacent text; keep the handle valid by refusing
        throw CMessageException("insertBefore: the node could not be inserted");
    return child;
}

TXmlNode TXmlNode::RemoveChild(const TXmlNode& child) {
    xmlNodePtr parent = Checked("removeChild");
    xmlNodePtr old = child.Checked("removeChild");
    if (old->parent != parent || old->type == XML_ATTRIBUTE_NODE)
        throw CMessageException("removeChild: the node is not a child of this node");
    xmlUnlinkNode(old);
    state->detached.insert(old);
    return child;
}

TXmlNode TXmlNode::ParentNode() const {
    xmlNodePtr n = Checked("parentNode");
    return n->parent ? TXmlNode(state, n->parent) : TXmlNode();
}

TXmlNode TXmlNode::NextSibling() const {
    xmlNodePtr n = Checked("nextSibling");
    return n->next ? TXmlNode(state, n->next) : TXmlNode();
}

TXmlNode TXmlNode::FirstChild() const {
    xmlNodePtr n = Checked("firstChild");
    return n->children ? TXmlNode(state, n->children) : TXmlNode();
}

bool TXmlNode::HasChildNodes() const { return Checked("hasChildNodes")->children != nullptr; }

void TXmlNode::RemoveNamedItem(const std::string& name) {
    xmlNodePtr element = Checked("removeNamedItem");
    if (element->type != XML_ELEMENT_NODE)
        throw CMessageException("removeNamedItem: only an element has attributes");
    if (xmlAttrPtr existing = xmlHasProp(element, reinterpret_cast<const xmlChar*>(name.c_str()))) {
        // Detached, not freed: a handle to it may still be held.
        xmlUnlinkNode(reinterpret_cast<xmlNodePtr>(existing));
        state->detached.insert(reinterpret_cast<xmlNodePtr>(existing));
    }
}

TXmlNode TXmlNode::SetNamedItem(const TXmlNode& attribute) {
    xmlNodePtr element = Checked("setNamedItem");
    xmlNodePtr added = attribute.Checked("setNamedItem");
    if (element->type != XML_ELEMENT_NODE || added->type != XML_ATTRIBUTE_NODE || attribute.state != state)
        throw CMessageException("setNamedItem: an attribute can only be set on an element");
    if (added->parent == element)
        return attribute;
    if (added->parent)
        throw CMessageException("setNamedItem: the attribute belongs to another element");
    if (xmlAttrPtr existing = xmlHasProp(element, added->name)) {
        xmlUnlinkNode(reinterpret_cast<xmlNodePtr>(existing));
        state->detached.insert(reinterpret_cast<xmlNodePtr>(existing));
    }
    // Linked by hand: libxml2's own adding would free a same-named attribute behind a handle.
    xmlAttrPtr property = reinterpret_cast<xmlAttrPtr>(added);
    property->parent = element;
    property->next = nullptr;
    property->prev = nullptr;
    if (!element->properties) {
        element->properties = property;
    } else {
        xmlAttrPtr last = element->properties;
        while (last->next)
            last = last->next;
        last->next = property;
        property->prev = last;
    }
    return attribute;
}

bool TXmlNode::SameContent(const TXmlNode& other, const std::string& ignoredAttribute) const {
    return Same(Checked("sameContent"), other.Checked("sameContent"), ignoredAttribute);
}

TXmlDocument::TXmlDocument() : state(std::make_shared<TXmlNode::TState>()) {}

bool TXmlDocument::Load(const std::string& path) {
    const std::optional<std::string> read = ReadFileBytes(path);
    if (!read) {
        state = std::make_shared<TXmlNode::TState>();
        return false;
    }
    const std::string& bytes = *read;
    QuietParser();
    xmlDocPtr parsed = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), path.c_str(), nullptr,
                                     XML_PARSE_NONET | XML_PARSE_NOBLANKS);
    auto fresh = std::make_shared<TXmlNode::TState>();
    if (!parsed || !xmlDocGetRootElement(parsed)) {
        xmlFreeDoc(parsed);
        state = fresh;
        return false;
    }
    xmlFreeDoc(fresh->document);
    fresh->document = parsed;
    state = fresh;
    return true;
}

void TXmlDocument::Save(const std::string& path) const {
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(state->document, &text, &size, "UTF-8", 1);
    if (!text)
        throw CMessageException("Unable to save the XML document to %s", path.c_str());
    std::unique_ptr<xmlChar, void (*)(void*)> hold(text, xmlFree);
    // Written beside the target, then copied over it, so a failure leaves the old file whole.
    std::string temporary;
    {
        CFile file(path + ".%u.tmp", CFile::ACCESS_WRITE, CFile::SHARE_NONE, CFile::CREATE_NEW,
                   CFile::UNIQUE_NAME | CFile::DELETE_ON_CLOSE);
        file.Write(text, static_cast<uint32_t>(size));
        file.Flush();
        temporary = file.GetFilename();
        if (!CFile::OverwriteFile(temporary, path))
            throw CMessageException("Unable to save the XML document to %s", path.c_str());
    }
}

TXmlNode TXmlDocument::DocumentElement() const {
    xmlNodePtr root = xmlDocGetRootElement(state->document);
    return root ? TXmlNode(state, root) : TXmlNode();
}

TXmlNode TXmlDocument::Root() const { return TXmlNode(state, reinterpret_cast<xmlNodePtr>(state->document)); }

TXmlNode TXmlDocument::CreateElement(const std::string& name) {
    xmlNodePtr element = xmlNewDocNode(state->document, nullptr, X(name), nullptr);
    if (!element)
        throw CMessageException("createElement(%s) failed", name.c_str());
    state->detached.insert(element);
    return TXmlNode(state, element);
}

TXmlNode TXmlDocument::CreateAttribute(const std::string& name) {
    xmlAttrPtr attribute = xmlNewDocProp(state->document, X(name), X(""));
    if (!attribute)
        throw CMessageException("createAttribute(%s) failed", name.c_str());
    state->detached.insert(reinterpret_cast<xmlNodePtr>(attribute));
    return TXmlNode(state, reinterpret_cast<xmlNodePtr>(attribute));
}

}  // namespace Ovrin
