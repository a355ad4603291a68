#pragma once

#include "platform/SysUtilsUnit.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The XML request reader. Works on single-byte text in the system code page; every markup byte it looks for
// lies below 0x40, so GBK double-byte characters pass through names and values unchanged.

enum class TNodeKind : uint8_t {
    Element = 0,
    Comment = 1,
    CData = 2,
    Declaration = 3,
    StyleSheet = 4,
    DocType = 5,
    ElementDecl = 6,
    AttListDecl = 7,
    EntityDecl = 8,
    NotationDecl = 9,
    Special = 10,
    ProcessingInstruction = 11,
    CharData = 12,
};

// A parse error of LoadFromText; the message names the element where one is involved.
class EXmlParseError : public Exception {
public:
    using Exception::Exception;
};

class TXmlDocument;

class TXmlNode {
public:
    TXmlNode(TXmlDocument* document, TNodeKind kind, TXmlNode* parent);

    TNodeKind NodeKind() const { return m_kind; }
    const std::string& Name() const { return m_name; }
    // The raw value, references unresolved.
    const std::string& Value() const { return m_value; }
    // Attribute texts as written: name, "=", the value still in its quotes.
    const std::vector<std::string>& Attributes() const { return m_attributes; }
    TXmlDocument* Document() const { return m_document; }
    TXmlNode* Parent() const { return m_parent; }

    // Value of the first attribute whose name matches without regard to letter case; quotes removed
    // (a doubled quote standing for one), references resolved. Empty when there is no such attribute.
    std::string AttributeValue(std::string_view name) const;
    int ChildCount() const { return static_cast<int>(m_children.size()); }
    // The child at that position (every kind counts); nullptr outside 0 .. ChildCount() - 1.
    TXmlNode* ChildAt(int index) const;
    // The value with references resolved.
    std::string ValueText() const;
    // The raw value as a 32-bit integer; raises EConvertError "'%s' is not a valid integer value".
    int32_t ValueInteger() const;
    int32_t ValueIntegerDef(int32_t defaultValue) const;

private:
    friend class TXmlParser;
    TXmlDocument* m_document;
    TNodeKind m_kind;
    TXmlNode* m_parent;
    std::string m_name;
    std::string m_value;
    std::vector<std::string> m_attributes;
    std::vector<std::unique_ptr<TXmlNode>> m_children;
};

class TXmlDocument {
public:
    // A new document holds a default declaration and an empty element; LoadFromText discards both.
    TXmlDocument();
    ~TXmlDocument();
    TXmlDocument(const TXmlDocument&) = delete;
    TXmlDocument& operator=(const TXmlDocument&) = delete;

    // Raises EXmlParseError.
    void LoadFromText(std::string_view text);
    // The first top-level element; nullptr when there is none.
    TXmlNode* RootElement() const;
    int NodeCount() const { return static_cast<int>(m_nodes.size()); }
    TXmlNode* NodeAt(int index) const;

private:
    friend class TXmlParser;
    std::vector<std::unique_ptr<TXmlNode>> m_nodes;
};

// Reference resolution in one pass: "&#n;" / "&#xh;" from 0 to 254 become that byte, the five named
// references their character; anything else stays as written and replaced text is not scanned again.
std::string ResolveReferences(std::string_view text);
