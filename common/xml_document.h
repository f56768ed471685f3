// The XML document layer over libxml2: documents that load, validate against a schema and save
// safely through a temporary copy; XPath contexts and node-set results; and the text conversions
// that keep stored XML valid UTF-8 with LF line ends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <libxml/tree.h>
#include <libxml/xpath.h>

namespace Ovrin {

// Once, from the program's entry: parser initialisation, XMLError installed, version check.
void XMLStartup();
// Installs XMLError as libxml2's error handler for the calling thread (the handler is per
// thread): every thread body that parses XML calls it first.
void XMLInstallErrorHandler();
// libxml2's generic error handler: joins fragments into one "XMLError(): %s" ERROR line.
void XMLError(void* context, const char* format, ...) __attribute__((format(printf, 2, 3)));

class CXMLDocument {
public:
    // An empty name makes a new empty document; otherwise the file is parsed.
    explicit CXMLDocument(const std::string& filename);
    ~CXMLDocument();
    CXMLDocument(const CXMLDocument&) = delete;
    CXMLDocument& operator=(const CXMLDocument&) = delete;

    void Validate(const std::string& schemaPath);
    xmlNodePtr SetRootNode(const std::string& name);
    xmlNodePtr SetRootNode(xmlNodePtr node);
    xmlNodePtr GetRootNode() const;
    xmlDocPtr GetDocument() const { return document; }
    const std::string& GetFilename() const { return filename; }
    // Leaves either the old file or the complete new one; throws naming the temporary copy
    // when neither could be put in place.
    void SaveTo(const std::string& path);

private:
    std::string filename;
    xmlDocPtr document = nullptr;
};

class CXPathObject {
public:
    explicit CXPathObject(xmlXPathObjectPtr object);
    ~CXPathObject();
    CXPathObject(const CXPathObject&) = delete;
    CXPathObject& operator=(const CXPathObject&) = delete;

    int GetNodeCount() const;
    xmlNodePtr GetNode(int index) const;
    xmlNodePtr GetNodePtr() const;  // the first node, or null
    std::string GetText() const;    // text of the first node with CR LF line ends; "" for none
    int32_t GetNumber() const;      // 1 to 10 plain digits, else 0

private:
    xmlXPathObjectPtr object;
};

using CXPathObjectPtr = std::unique_ptr<CXPathObject>;

class CXPathContext {
public:
    explicit CXPathContext(const CXMLDocument& document);  // on the root element
    explicit CXPathContext(xmlNodePtr node);               // on the node, in its document
    ~CXPathContext();
    CXPathContext(const CXPathContext&) = delete;
    CXPathContext& operator=(const CXPathContext&) = delete;

    // Evaluates the printf-formatted expression; anything but a node set throws.
    CXPathObjectPtr Eval(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    xmlXPathContextPtr context = nullptr;
};

// Valid UTF-8 (up to 3-byte sequences) with LF line ends; everything else becomes "?".
std::string ToXmlText(const std::string& text);
// LF line ends become CR LF.
std::string FromXmlText(const std::string& text);
// "1" or "true" in any case.
bool TextToBool(const std::string& text);

}  // namespace Ovrin
