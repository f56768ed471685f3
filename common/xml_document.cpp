// CXMLDocument, CXPathContext and CXPathObject over libxml2: loading, schema validation, root
// replacement, saving through a synced temporary copy, and node-set queries.
#include "common/xml_document.h"

#include <libxml/parser.h>
#include <libxml/xmlschemas.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <thread>

#include "common/exception.h"
#include "common/file.h"
#include "common/format.h"
#include "common/log.h"
#include "common/text.h"
#include "common/trace.h"
#include "common/validators.h"

namespace Ovrin {

namespace {

// Copying the temporary file over the target is tried this often, sleeping 2, 4, ... 256 ms
// after each failure, before falling back to delete and move.
constexpr int kOverwriteAttempts = 8;

template <class T, void (*Free)(T*)>
struct CXmlDeleter {
    void operator()(T* pointer) const { Free(pointer); }
};

using CSchemaParserContext = std::unique_ptr<xmlSchemaParserCtxt, CXmlDeleter<xmlSchemaParserCtxt, xmlSchemaFreeParserCtxt>>;
using CSchema = std::unique_ptr<xmlSchema, CXmlDeleter<xmlSchema, xmlSchemaFree>>;
using CSchemaValidContext = std::unique_ptr<xmlSchemaValidCtxt, CXmlDeleter<xmlSchemaValidCtxt, xmlSchemaFreeValidCtxt>>;
using CXPathResult = std::unique_ptr<xmlXPathObject, CXmlDeleter<xmlXPathObject, xmlXPathFreeObject>>;

void FreeXmlMemory(xmlChar* memory) { xmlFree(memory); }
using CXmlMemory = std::unique_ptr<xmlChar, CXmlDeleter<xmlChar, FreeXmlMemory>>;

// The whole file through the file layer; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& contents) {
    try {
        CFile file(path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, 0);
        char buffer[65536];
        while (uint32_t got = file.Read(buffer, sizeof buffer)) {
            if (contents.size() + got > static_cast<size_t>(INT_MAX))
                return false;
            contents.append(buffer, got);
        }
        return true;
    } catch (const CMessageException&) {
        return false;  // already logged on its way here
    }
}

}  // namespace

CXMLDocument::CXMLDocument(const std::string& name) : filename(name) {
    Traced([&] {
        if (filename.empty()) {
            document = xmlNewDoc(BAD_CAST ToXmlText("1.0").c_str());
            if (!document)
                throw CMessageException("Failed to create empty XML file");
            return;
        }
        std::string contents;
        if (ReadWholeFile(filename, contents))
            document = xmlReadMemory(contents.data(), static_cast<int>(contents.size()), filename.c_str(), nullptr,
                                     XML_PARSE_NONET);
        if (!document)
            throw CMessageException("Failed to load XML file from '%s'", filename.c_str());
    }, "CXMLDocument::CXMLDocument('%s')", name.c_str());
}

CXMLDocument::~CXMLDocument() {
    Contained([&] {
        if (!document)
            return;
        if (xmlNodePtr root = xmlDocGetRootElement(document)) {
            xmlUnlinkNode(root);
            xmlFreeNode(root);
        }
        xmlFreeDoc(document);
    }, "CXMLDocument::~CXMLDocument()");
}

void CXMLDocument::Validate(const std::string& schemaPath) {
    Traced([&] {
        CSchemaParserContext parser(xmlSchemaNewParserCtxt(schemaPath.c_str()));
        if (!parser)
            throw CMessageException("Failed to load schema from '%s'", schemaPath.c_str());
        CSchema schema(xmlSchemaParse(parser.get()));
        if (!schema)
            throw CMessageException("xmlSchemaParse() failed");
        CSchemaValidContext validator(xmlSchemaNewValidCtxt(schema.get()));
        if (!validator)
            throw CMessageException("xmlSchemaNewValidCtxt() failed");
        int outcome = xmlSchemaValidateDoc(validator.get(), document);
        validator.reset();
        schema.reset();
        parser.reset();
        if (outcome != 0)
            throw CMessageException("The document failed to validate against the XML schema at '%s'",
                                    schemaPath.c_str());
    }, "CXMLDocument::Validate('%s')", schemaPath.c_str());
}

xmlNodePtr CXMLDocument::SetRootNode(const std::string& name) {
    return Traced([&] {
        xmlNodePtr node = xmlNewDocNode(document, nullptr, BAD_CAST ToXmlText(name).c_str(), nullptr);
        if (!node)
            throw CMessageException("Failed to create XML node '%s'", name.c_str());
        return SetRootNode(node);
    }, "CXMLDocument::SetRootNode('%s')", name.c_str());
}

xmlNodePtr CXMLDocument::SetRootNode(xmlNodePtr node) {
    return Traced([&] {
        xmlNodePtr old = xmlDocGetRootElement(document);
        if (node == old)
            return node;  // freeing the old root would free the new one
        if (node)
            xmlUnlinkNode(node);  // it may lie inside the old root
        if (old) {
            xmlUnlinkNode(old);
            xmlFreeNode(old);
        }
        xmlDocSetRootElement(document, node);
        return node;
    }, "CXMLDocument::SetRootNode(0x%08x)", LabelAddress(node));
}

xmlNodePtr CXMLDocument::GetRootNode() const { return xmlDocGetRootElement(document); }

void CXMLDocument::SaveTo(const std::string& path) {
    Traced([&] {
        // The copy must be complete and on the disk before it can stand in for the target.
        std::string temporary = path + ".%03d";
        try {
            CFile file(Replace(path, "%", "%%") + ".%03d", CFile::ACCESS_WRITE, CFile::SHARE_NONE, CFile::CREATE_NEW,
                       CFile::UNIQUE_NAME | CFile::DELETE_ON_WRITE_FAILURE | CFile::DELETE_ON_CLOSE);
            temporary = file.GetFilename();
            xmlChar* memory = nullptr;
            int size = 0;
            xmlDocDumpFormatMemoryEnc(document, &memory, &size, "UTF-8", 0);
            CXmlMemory text(memory);
            if (!text || size < 0)
                throw CMessageException("xmlDocDumpFormatMemoryEnc() failed");
            file.Write(text.get(), static_cast<uint32_t>(size));
            file.Flush();
            file.SetDeleteOnClose(false);
        } catch (const CMessageException&) {
            throw CMessageException("Failed to save XML file to '%s'", temporary.c_str());
        }

        for (int attempt = 1; attempt <= kOverwriteAttempts; ++attempt) {
            if (CFile::OverwriteFile(temporary, path)) {
                if (!CFile::DeleteFile(temporary))
                    Logger().Warning("CXMLDocument::SaveTo('%s'): failed to delete the temporary file copy %s",
                                     path.c_str(), temporary.c_str());
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1 << attempt));
        }
        if (!CFile::DeleteFile(path) || !CFile::MoveFile(temporary, path))
            throw CMessageException("Unable to save XML file, temporary copy remains at %s", temporary.c_str());
    }, "CXMLDocument::SaveTo('%s')", path.c_str());
}

CXPathObject::CXPathObject(xmlXPathObjectPtr object) : object(object) {}

CXPathObject::~CXPathObject() {
    if (object)
        xmlXPathFreeObject(object);
}

int CXPathObject::GetNodeCount() const {
    return object && object->nodesetval ? object->nodesetval->nodeNr : 0;
}

xmlNodePtr CXPathObject::GetNode(int index) const {
    return index >= 0 && index < GetNodeCount() ? object->nodesetval->nodeTab[index] : nullptr;
}

xmlNodePtr CXPathObject::GetNodePtr() const {
    return Traced([&] { return GetNode(0); }, "CXPathObject::GetNodePtr()");
}

std::string CXPathObject::GetText() const {
    return Traced([&] {
        xmlNodePtr node = GetNode(0);
        if (!node)
            return std::string();
        CXmlMemory content(xmlNodeGetContent(node));
        return FromXmlText(content ? reinterpret_cast<const char*>(content.get()) : "");
    }, "CXPathObject::GetText()");
}

int32_t CXPathObject::GetNumber() const {
    return Traced([&] {
        std::string text = GetText();
        // Ten digits may exceed 32 bits; the conversion then gives the largest value.
        return !text.empty() && Matches(text, NumberPattern()) ? AtoL(text) : 0;
    }, "CXPathObject::GetNumber()");
}

CXPathContext::CXPathContext(const CXMLDocument& document) {
    context = xmlXPathNewContext(document.GetDocument());
    if (!context)
        throw CMessageException("Failed to create an XPath context");
    context->node = document.GetRootNode();
}

CXPathContext::CXPathContext(xmlNodePtr node) {
    if (!node || !node->doc)
        throw CMessageException("Failed to create an XPath context");
    context = xmlXPathNewContext(node->doc);
    if (!context)
        throw CMessageException("Failed to create an XPath context");
    context->node = node;
}

CXPathContext::~CXPathContext() { xmlXPathFreeContext(context); }

CXPathObjectPtr CXPathContext::Eval(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string expression;
    try {
        expression = VFormat(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return Traced([&] {
        CXPathResult result(xmlXPathEvalExpression(BAD_CAST expression.c_str(), context));
        if (!result)
            throw CMessageException("Failed to evaluate the XPath expression '%s'", expression.c_str());
        if (result->type != XPATH_NODESET)
            throw CMessageException("Result of evaluation is not a nodeset (type=%d)", static_cast<int>(result->type));
        auto object = std::make_unique<CXPathObject>(result.get());
        result.release();
        return object;
    }, "CXPathContext::Eval('%s')", expression.c_str());
}

}  // namespace Ovrin
