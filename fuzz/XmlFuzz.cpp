// The request reader on any text: a parse either fails with its own error or gives a tree whose every node
// can be read, as the handlers read it.
#include "xml/XmlUnit.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void ReadNode(const TXmlNode& node, int depth) {
    (void)node.Name();
    (void)node.ValueText();
    (void)node.ValueIntegerDef(0);
    for (const std::string& attribute : node.Attributes()) {
        std::string_view name(attribute);
        name = name.substr(0, name.find('='));
        (void)node.AttributeValue(name);
    }
    (void)node.AttributeValue("type");
    if (node.ChildAt(-1) != nullptr || node.ChildAt(node.ChildCount()) != nullptr)
        std::abort();
    for (int i = 0; i < node.ChildCount(); ++i) {
        TXmlNode* child = node.ChildAt(i);
        if (child == nullptr || child->Parent() != &node || child->Document() != node.Document())
            std::abort();
        ReadNode(*child, depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)ResolveReferences(text);
    TXmlDocument document;
    try {
        document.LoadFromText(text);
    } catch (const EXmlParseError&) {
        return 0;
    }
    TXmlNode* root = document.RootElement();
    if (root != nullptr && root->NodeKind() != TNodeKind::Element)
        std::abort();
    for (int i = 0; i < document.NodeCount(); ++i)
        ReadNode(*document.NodeAt(i), 0);
    return 0;
}
