#include "xml/XmlUnit.h"

#include <cstring>

namespace {

// Requests are two levels deep; a cap far above that keeps hostile input from exhausting the stack, both
// while reading and when the tree is freed.
constexpr int MaxNestingDepth = 256;

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

bool HasNonBlank(std::string_view text) {
    for (char c : text)
        if (!IsMarkupBlank(c))
            return true;
    return false;
}

struct TOpener {
    std::string_view text; // what follows the "<"
    TNodeKind kind;
};

constexpr TOpener Openers[] = {
    {"!--", TNodeKind::Comment},
    {"![CDATA[", TNodeKind::CData},
    {"?xml", TNodeKind::Declaration},
    {"?xml-stylesheet", TNodeKind::StyleSheet},
    {"!DOCTYPE", TNodeKind::DocType},
    {"!ELEMENT", TNodeKind::ElementDecl},
    {"!ATTLIST", TNodeKind::AttListDecl},
    {"!ENTITY", TNodeKind::EntityDecl},
    {"!NOTATION", TNodeKind::NotationDecl},
    {"!", TNodeKind::Special},
    {"?", TNodeKind::ProcessingInstruction},
};

// The longest opener that the text starts with; a plain "<" opens an element. Whatever follows the
// opener belongs to the body.
TNodeKind MatchOpener(std::string_view rest, size_t& length) {
    TNodeKind kind = TNodeKind::Element;
    length = 0;
    for (const TOpener& opener : Openers) {
        if (opener.text.size() > length && rest.starts_with(opener.text)) {
            kind = opener.kind;
            length = opener.text.size();
        }
    }
    return kind;
}

// Calls emit for each word of the body; words are separated by blanks outside quoted runs.
template <typename TEmit> void ForEachWord(std::string_view body, TEmit&& emit) {
    size_t start = 0;
    bool inWord = false;
    char quote = 0;
    for (size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            continue;
        }
        if (IsMarkupBlank(c)) {
            if (inWord)
                emit(body.substr(start, i - start));
            inWord = false;
            continue;
        }
        if (!inWord) {
            start = i;
            inWord = true;
        }
        if (IsQuote(c))
            quote = c;
    }
    if (inWord)
        emit(body.substr(start));
}

std::vector<std::string> SplitWords(std::string_view body) {
    std::vector<std::string> words;
    ForEachWord(body, [&](std::string_view word) { words.emplace_back(word); });
    return words;
}

// Splits a tag body and joins `name = "value"` written with blanks back into one attribute text. The
// joining rules read from the last word back: a word starting with "=" goes onto the word before it, then
// a word starting with a quote goes onto the word before it when that one holds "=". One forward pass
// forms the same groups without the quadratic copying of long chains.
std::vector<std::string> SplitAttributeWords(std::string_view body) {
    std::vector<std::string> words;
    std::string group;
    bool haveGroup = false;
    bool previousHasEquals = false;
    auto finishGroup = [&] {
        bool hasEquals = group.find('=') != std::string::npos;
        if (previousHasEquals && IsQuote(group.front()))
            words.back() += group;
        else
            words.push_back(std::move(group));
        previousHasEquals = hasEquals;
    };
    ForEachWord(body, [&](std::string_view word) {
        if (haveGroup && word.front() == '=') {
            group += word;
            return;
        }
        if (haveGroup)
            finishGroup();
        group.assign(word);
        haveGroup = true;
    });
    if (haveGroup)
        finishGroup();
    return words;
}

std::string JoinWords(const std::vector<std::string>& words, size_t first) {
    std::string result;
    for (size_t i = first; i < words.size(); ++i) {
        if (i > first)
            result += ' ';
        result += words[i];
    }
    return result;
}

std::string Unquote(std::string_view value) {
    if (value.size() <= 1 || !IsQuote(value.front()))
        return std::string(value);
    char quote = value.front();
    std::string result;
    for (size_t i = 1; i < value.size(); ++i) {
        if (value[i] == quote) {
            if (i + 1 < value.size() && value[i + 1] == quote) {
                result += quote;
                ++i;
                continue;
            }
            break;
        }
        result += value[i];
    }
    return result;
}

} // namespace

class TXmlParser {
public:
    TXmlParser(TXmlDocument* document, std::string_view text) : m_document(document), m_text(text) {}

    // What a new document holds before anything is loaded.
    static std::vector<std::unique_ptr<TXmlNode>> DefaultNodes(TXmlDocument* document) {
        std::vector<std::unique_ptr<TXmlNode>> nodes;
        auto declaration = std::make_unique<TXmlNode>(document, TNodeKind::Declaration, nullptr);
        declaration->m_name = "xml";
        declaration->m_attributes.push_back("version=\"1.0\"");
        nodes.push_back(std::move(declaration));
        nodes.push_back(std::make_unique<TXmlNode>(document, TNodeKind::Element, nullptr));
        return nodes;
    }

    std::vector<std::unique_ptr<TXmlNode>> ReadDocument() {
        std::vector<std::unique_ptr<TXmlNode>> nodes;
        while (m_pos < m_text.size()) {
            if (m_text[m_pos] != '<') {
                // Blanks and stray bytes outside markup (a byte-order mark among them) are dropped.
                ++m_pos;
                continue;
            }
            nodes.push_back(ReadNode(nullptr, 1));
        }
        return nodes;
    }

private:
    static EXmlParseError Error(std::string_view pattern, std::string_view name) {
        return EXmlParseError(FormatText(pattern, {name}));
    }

    // Start of the end marker from m_pos on, or npos. Inside a quoted run the marker does not count.
    size_t FindMarker(std::string_view marker, bool quoteAware) const {
        if (!quoteAware) {
            // Looking for the marker's last byte first keeps a long run of "-" in a comment linear.
            for (size_t i = m_pos + marker.size() - 1; i < m_text.size(); ++i) {
                const void* hit = std::memchr(m_text.data() + i, marker.back(), m_text.size() - i);
                if (hit == nullptr)
                    break;
                i = static_cast<size_t>(static_cast<const char*>(hit) - m_text.data());
                if (m_text.compare(i + 1 - marker.size(), marker.size(), marker) == 0)
                    return i + 1 - marker.size();
            }
            return std::string_view::npos;
        }
        char quote = 0;
        for (size_t i = m_pos; i < m_text.size(); ++i) {
            char c = m_text[i];
            if (quote != 0) {
                if (c == quote)
                    quote = 0;
            } else if (IsQuote(c)) {
                quote = c;
            } else if (c == marker.back() && i + 1 - m_pos >= marker.size() &&
                       m_text.compare(i + 1 - marker.size(), marker.size(), marker) == 0) {
                return i + 1 - marker.size();
            }
        }
        return std::string_view::npos;
    }

    // The body up to the marker, which is consumed; false (and an empty body) when the text ends first.
    bool ReadBody(std::string_view marker, bool quoteAware, std::string_view& body) {
        size_t at = FindMarker(marker, quoteAware);
        if (at == std::string_view::npos) {
            body = {};
            m_pos = m_text.size();
            return false;
        }
        body = m_text.substr(m_pos, at - m_pos);
        m_pos = at + marker.size();
        return true;
    }

    // Reads the node whose markup starts at the "<" under m_pos; depth counts the new node's level.
    std::unique_ptr<TXmlNode> ReadNode(TXmlNode* parent, int depth) {
        if (depth > MaxNestingDepth)
            throw Error("Element nesting too deep in element %s", parent->m_name);
        ++m_pos;
        size_t openerLength = 0;
        TNodeKind kind = MatchOpener(m_text.substr(m_pos), openerLength);
        m_pos += openerLength;
        auto node = std::make_unique<TXmlNode>(m_document, kind, parent);
        std::string_view body;
        switch (kind) {
        case TNodeKind::Element:
            ReadElement(*node, depth);
            break;
        case TNodeKind::Comment:
            ReadBody("-->", false, body);
            node->m_name = "Comment";
            node->m_value = body;
            break;
        case TNodeKind::CData:
            ReadBody("]]>", false, body);
            node->m_name = "CData";
            node->m_value = body;
            break;
        case TNodeKind::Declaration:
        case TNodeKind::StyleSheet:
            ReadBody("?>", true, body);
            if (kind == TNodeKind::Declaration) {
                node->m_name = "xml";
            } else {
                node->m_name = "xml-stylesheet";
                node->m_value = TrimBlanks(body, IsMarkupBlank);
            }
            node->m_attributes = SplitAttributeWords(body);
            break;
        case TNodeKind::DocType:
            ReadDocType(*node, depth);
            break;
        case TNodeKind::ElementDecl:
        case TNodeKind::AttListDecl:
        case TNodeKind::EntityDecl:
        case TNodeKind::NotationDecl: {
            ReadBody(">", true, body);
            std::vector<std::string> words = SplitWords(body);
            if (!words.empty())
                node->m_name = std::move(words.front());
            node->m_value = JoinWords(words, 1);
            break;
        }
        case TNodeKind::Special:
            ReadBody(">", false, body);
            node->m_name = "Special";
            node->m_value = body;
            break;
        case TNodeKind::ProcessingInstruction:
            ReadBody("?>", false, body);
            node->m_name = "Special";
            node->m_value = body;
            break;
        case TNodeKind::CharData:
            break;
        }
        return node;
    }

    void ReadElement(TXmlNode& node, int depth) {
        std::string_view body;
        ReadBody(">", true, body);
        bool selfClosing = !body.empty() && body.back() == '/';
        if (selfClosing)
            body.remove_suffix(1);
        if (!body.empty() && body.find_first_of("\t\n\r ") == std::string_view::npos) {
            // Most tags are a bare name.
            node.m_name = body;
        } else {
            std::vector<std::string> words = SplitAttributeWords(body);
            if (words.empty())
                throw EXmlParseError("Missing element name");
            node.m_name = std::move(words.front());
            words.erase(words.begin());
            node.m_attributes = std::move(words);
        }
        if (!selfClosing)
            ReadContent(node, depth);
    }

    static void FlushText(TXmlNode& node, std::string_view pending) {
        if (!HasNonBlank(pending))
            return;
        if (node.m_children.empty()) {
            // Text before any other child becomes the element's value; it goes there directly instead
            // of through a node that would be removed again.
            node.m_value = pending;
            return;
        }
        auto text = std::make_unique<TXmlNode>(node.m_document, TNodeKind::CharData, &node);
        text->m_value = pending;
        node.m_children.push_back(std::move(text));
    }

    void ReadContent(TXmlNode& node, int depth) {
        bool hadChild = false;
        bool returnSinceChild = false;
        for (;;) {
            size_t open = m_text.find('<', m_pos);
            if (open == std::string_view::npos)
                throw Error("Missing close tag in element %s", node.m_name);
            // Text since the last markup is one contiguous run: every "<" either ends the element or
            // flushes it.
            std::string_view pending = m_text.substr(m_pos, open - m_pos);
            if (std::memchr(pending.data(), '\r', pending.size()) != nullptr)
                returnSinceChild = true;
            size_t next = open + 1;
            while (next < m_text.size() && IsMarkupBlank(m_text[next]))
                ++next;
            if (next >= m_text.size())
                throw Error("Missing data after \"<\" in element %s", node.m_name);
            if (m_text[next] == '/') {
                m_pos = next + 1;
                std::string_view closeName;
                if (!ReadBody(">", true, closeName))
                    throw Error("Missing \">\" in close tag of element %s", node.m_name);
                if (!SameText(TrimView(closeName), node.m_name))
                    throw Error("Incorrect close tag in element %s", node.m_name);
                FlushText(node, pending);
                break;
            }
            FlushText(node, pending);
            m_pos = open;
            node.m_children.push_back(ReadNode(&node, depth + 1));
            hadChild = true;
            returnSinceChild = false;
        }
        if (hadChild && returnSinceChild) {
            auto trimEnd = [](std::string& text) {
                size_t end = text.find_last_not_of("\r\n ");
                text.erase(end == std::string::npos ? 0 : end + 1);
            };
            trimEnd(node.m_value); // the first character-data child
            for (auto& child : node.m_children)
                if (child->m_kind == TNodeKind::CharData)
                    trimEnd(child->m_value);
        }
    }

    // Name and value up to ">" or "["; after "[" the internal subset is read as nodes until a "]" stands
    // where a node would start, then everything up to the next ">" is skipped.
    void ReadDocType(TXmlNode& node, int depth) {
        size_t at = std::string_view::npos;
        char quote = 0;
        for (size_t i = m_pos; i < m_text.size(); ++i) {
            char c = m_text[i];
            if (quote != 0) {
                if (c == quote)
                    quote = 0;
            } else if (IsQuote(c)) {
                quote = c;
            } else if (c == '>' || c == '[') {
                at = i;
                break;
            }
        }
        if (at == std::string_view::npos) {
            m_pos = m_text.size();
            return;
        }
        std::vector<std::string> words = SplitWords(m_text.substr(m_pos, at - m_pos));
        if (!words.empty())
            node.m_name = std::move(words.front());
        node.m_value = JoinWords(words, 1);
        m_pos = at + 1;
        if (m_text[at] != '[')
            return;
        while (m_pos < m_text.size()) {
            char c = m_text[m_pos];
            if (c == ']') {
                size_t close = m_text.find('>', m_pos + 1);
                m_pos = close == std::string_view::npos ? m_text.size() : close + 1;
                return;
            }
            if (c == '<')
                node.m_children.push_back(ReadNode(&node, depth + 1));
            else
                ++m_pos; // blanks and parameter-entity references declare nothing we use
        }
    }

    TXmlDocument* m_document;
    std::string_view m_text;
    size_t m_pos = 0;
};

TXmlNode::TXmlNode(TXmlDocument* document, TNodeKind kind, TXmlNode* parent)
    : m_document(document), m_kind(kind), m_parent(parent) {}

std::string TXmlNode::AttributeValue(std::string_view name) const {
    for (const std::string& attribute : m_attributes) {
        size_t equals = attribute.find('=');
        if (equals == std::string::npos)
            continue;
        std::string_view text(attribute);
        if (!SameText(text.substr(0, equals), name))
            continue;
        return ResolveReferences(Unquote(text.substr(equals + 1)));
    }
    return {};
}

TXmlNode* TXmlNode::ChildAt(int index) const {
    if (index < 0 || index >= ChildCount())
        return nullptr;
    return m_children[static_cast<size_t>(index)].get();
}

std::string TXmlNode::ValueText() const {
    return ResolveReferences(m_value);
}

int32_t TXmlNode::ValueInteger() const {
    return StrToInt(m_value);
}

int32_t TXmlNode::ValueIntegerDef(int32_t defaultValue) const {
    return StrToIntDef(m_value, defaultValue);
}

TXmlDocument::TXmlDocument() {
    m_nodes = TXmlParser::DefaultNodes(this);
}

TXmlDocument::~TXmlDocument() = default;

void TXmlDocument::LoadFromText(std::string_view text) {
    m_nodes.clear();
    // Built aside so that a failed load leaves an empty document rather than a half-read tree.
    std::vector<std::unique_ptr<TXmlNode>> nodes = TXmlParser(this, text).ReadDocument();
    bool hasElement = false;
    for (const auto& node : nodes)
        hasElement = hasElement || node->NodeKind() == TNodeKind::Element;
    if (!hasElement)
        throw EXmlParseError("No root element found in xml");
    m_nodes = std::move(nodes);
}

TXmlNode* TXmlDocument::RootElement() const {
    for (const auto& node : m_nodes)
        if (node->NodeKind() == TNodeKind::Element)
            return node.get();
    return nullptr;
}

TXmlNode* TXmlDocument::NodeAt(int index) const {
    if (index < 0 || index >= NodeCount())
        return nullptr;
    return m_nodes[static_cast<size_t>(index)].get();
}

std::string ResolveReferences(std::string_view text) {
    struct TNamedReference {
        std::string_view reference;
        char replacement;
    };
    static constexpr TNamedReference NamedReferences[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&apos;", '\''}, {"&quot;", '"'},
    };
    std::string result;
    result.reserve(text.size());
    size_t pos = 0;
    for (;;) {
        size_t amp = text.find('&', pos);
        if (amp == std::string_view::npos)
            break;
        size_t semicolon = text.find(';', amp + 1);
        if (semicolon == std::string_view::npos)
            break;
        result.append(text.substr(pos, amp - pos));
        std::string_view reference = text.substr(amp, semicolon + 1 - amp);
        pos = semicolon + 1;
        if (reference.starts_with("&#")) {
            int32_t code = 0;
            if (TryStrToInt(reference.substr(2, reference.size() - 3), code) && code >= 0 && code <= 254) {
                result += static_cast<char>(code);
                continue;
            }
        } else {
            bool replaced = false;
            for (const TNamedReference& named : NamedReferences) {
                if (reference == named.reference) {
                    result += named.replacement;
                    replaced = true;
                    break;
                }
            }
            if (replaced)
                continue;
        }
        result.append(reference);
    }
    result.append(text.substr(pos));
    return result;
}
