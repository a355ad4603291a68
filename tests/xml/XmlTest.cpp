#include "xml/XmlUnit.h"

#include <gtest/gtest.h>

namespace {

// One line per child: kind letter, name, value. Short enough to keep the tables readable.
std::string Describe(const TXmlNode& node) {
    static const char Letters[] = "ECDXYdlanoSPT";
    std::string result;
    for (int i = 0; i < node.ChildCount(); ++i) {
        const TXmlNode* child = node.ChildAt(i);
        result += Letters[static_cast<int>(child->NodeKind())];
        result += ":" + child->Name() + "=" + child->Value() + "|";
    }
    return result;
}

// A typical card request; "张三" as GBK bytes.
const std::string SampleRequest = "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                                  "<!DOCTYPE DoorRequest [<!ENTITY e \"x>y\">]>\r\n"
                                  "<DoorRequest type = 'IssueCard'>\r\n"
                                  "  <!-- sent by the front desk -->\r\n"
                                  "  <RequestID>1</RequestID>\r\n"
                                  "  <RoomNo>0816</RoomNo>\r\n"
                                  "  <GuestName>\xD5\xC5\xC8\xFD &amp; Co</GuestName>\r\n"
                                  "  <Note><![CDATA[a<b]]></Note>\r\n"
                                  "  <IsCopy/>\r\n"
                                  "</DoorRequest>\r\n";

struct TContentCase {
    const char* text;
    const char* rootValue;
    const char* children;
};

class TXmlContentTest : public ::testing::TestWithParam<TContentCase> {};

TEST_P(TXmlContentTest, GivesRootValueAndChildren) {
    TXmlDocument document;
    document.LoadFromText(GetParam().text);
    TXmlNode* root = document.RootElement();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->Value(), GetParam().rootValue);
    EXPECT_EQ(Describe(*root), GetParam().children);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TXmlContentTest,
    ::testing::Values(
        TContentCase{"<r type=\"IssueCard\"><a>1</a><b>2</b></r>", "", "E:a=1|E:b=2|"},
        // Indentation and line breaks between children give no nodes.
        TContentCase{"<r type=\"IssueCard\">\r\n\t<a>1</a>\r\n\t<b>2</b>\r\n</r>", "", "E:a=1|E:b=2|"},
        TContentCase{"<r>\n  <a>1</a>\n  <b>2</b>\n</r>", "", "E:a=1|E:b=2|"},
        // A comment, a CDATA section or an instruction counts and shifts the elements after it.
        TContentCase{"<r><!-- it's a > b --><a>1</a></r>", "", "C:Comment= it's a > b |E:a=1|"},
        TContentCase{"<r><![CDATA[<x>]]><a>1</a></r>", "", "D:CData=<x>|E:a=1|"},
        TContentCase{"<r><?pi x=\"?>\"?><!x y></r>", "", "P:Special=pi x=\"|T:=\"?>|S:Special=x y|"},
        TContentCase{"<r><?xml a=\"?>\"?></r>", "", "X:xml=|"},
        TContentCase{"<a><![CDATA[x]]></a>", "", "D:CData=x|"},
        TContentCase{"<r>t<a>1</a></r>", "t", "E:a=1|"}, TContentCase{"<r><a/>t</r>", "", "E:a=|T:=t|"},
        TContentCase{"<a> 12 </a>", " 12 ", ""},
        TContentCase{"<r><a/><b x=\"1\" /><c></c></r>", "", "E:a=|E:b=|E:c=|"},
        TContentCase{"<r><a>1</A></r>", "", "E:a=1|"}, TContentCase{"<r><a>1</ a ></r >", "", "E:a=1|"},
        TContentCase{"<r a=\"x>y\" b='</r>'>v</r>", "v", ""},
        // Character data is trimmed only when a carriage return followed the last child markup.
        TContentCase{"<r>t \r\n<a/>x \r\n</r>", "t", "E:a=|T:=x|"},
        TContentCase{"<r>t \r\n<a/>x \n</r>", "t \r\n", "E:a=|T:=x \n|"},
        TContentCase{"<r>t\t\r\n<a/>\r\n</r>", "t\t", "E:a=|"}, TContentCase{"<a>12\r\n</a>", "12\r\n", ""},
        // Bytes after the winning opener are the start of the body.
        TContentCase{"<r><!-x><![CDAT[y]><?xmlz?></r>", "", "S:Special=-x|S:Special=[CDAT[y]|X:xml=|"},
        TContentCase{"<r><?xml-stylesheet href=\"a.xsl\" ?></r>", "", "Y:xml-stylesheet=href=\"a.xsl\"|"},
        // GBK characters pass through names and values unchanged.
        TContentCase{"<\xD5\xC5><\xC8\xFD>\xC0\xEE\xCB\xC4</\xC8\xFD></\xD5\xC5>", "",
                     "E:\xC8\xFD=\xC0\xEE\xCB\xC4|"}));

struct TErrorCase {
    std::string text;
    const char* message;
};

class TXmlErrorsTest : public ::testing::TestWithParam<TErrorCase> {};

TEST_P(TXmlErrorsTest, RaiseTheirMessage) {
    TXmlDocument document;
    try {
        document.LoadFromText(GetParam().text);
        FAIL() << "no error for " << GetParam().text;
    } catch (const EXmlParseError& error) {
        EXPECT_STREQ(error.what(), GetParam().message);
    }
    // A failed load leaves nothing half-read behind.
    EXPECT_EQ(document.NodeCount(), 0);
    EXPECT_EQ(document.RootElement(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TXmlErrorsTest,
    ::testing::Values(TErrorCase{"", "No root element found in xml"},
                      TErrorCase{" text only \xEF\xBB\xBF", "No root element found in xml"},
                      TErrorCase{"<?xml version=\"1.0\"?><!-- c -->", "No root element found in xml"},
                      TErrorCase{"<>", "Missing element name"}, TErrorCase{"<", "Missing element name"},
                      TErrorCase{"< />", "Missing element name"}, TErrorCase{"<r><a", "Missing element name"},
                      TErrorCase{"<r><a>1</a>", "Missing close tag in element r"},
                      TErrorCase{"<r><!-- never closed </r>", "Missing close tag in element r"},
                      TErrorCase{"<r><a>1</b></r>", "Incorrect close tag in element a"},
                      TErrorCase{"<r>x<", "Missing data after \"<\" in element r"},
                      TErrorCase{"<r><a/>< \r\n", "Missing data after \"<\" in element r"},
                      TErrorCase{"<r></r", "Missing \">\" in close tag of element r"},
                      TErrorCase{"<r></r a=\">", "Missing \">\" in close tag of element r"},
                      TErrorCase{"<\xD5\xC5>1</\xD5\xC6>", "Incorrect close tag in element \xD5\xC5"},
                      // The trail byte of a double-byte character is not a letter to fold.
                      TErrorCase{"<\xB0"
                                 "A>1</\xB0"
                                 "a>",
                                 "Incorrect close tag in element \xB0"
                                 "A"}));

TEST(XmlDocumentTest, ReadsTheSampleRequest) {
    TXmlDocument document;
    document.LoadFromText(SampleRequest);
    ASSERT_EQ(document.NodeCount(), 3);
    const TXmlNode* declaration = document.NodeAt(0);
    EXPECT_EQ(declaration->NodeKind(), TNodeKind::Declaration);
    EXPECT_EQ(declaration->AttributeValue("encoding"), "UTF-8");
    const TXmlNode* docType = document.NodeAt(1);
    EXPECT_EQ(docType->NodeKind(), TNodeKind::DocType);
    EXPECT_EQ(docType->Name(), "DoorRequest");
    EXPECT_EQ(Describe(*docType), "n:e=\"x>y\"|");

    TXmlNode* root = document.RootElement();
    ASSERT_EQ(root, document.NodeAt(2));
    EXPECT_EQ(root->Attributes(), std::vector<std::string>{"type='IssueCard'"});
    EXPECT_EQ(root->AttributeValue("TYPE"), "IssueCard");
    EXPECT_EQ(root->ChildCount(), 6);
    EXPECT_EQ(root->ChildAt(0)->Value(), " sent by the front desk ");
    EXPECT_EQ(root->ChildAt(2)->ValueInteger(), 816);
    EXPECT_EQ(root->ChildAt(3)->ValueText(), "\xD5\xC5\xC8\xFD & Co");
    EXPECT_EQ(root->ChildAt(4)->ChildAt(0)->Value(), "a<b");
    EXPECT_EQ(root->ChildAt(-1), nullptr);
    EXPECT_EQ(root->ChildAt(6), nullptr);
    EXPECT_EQ(root->ChildAt(1)->Parent(), root);
    EXPECT_EQ(root->ChildAt(1)->Document(), &document);
    EXPECT_EQ(document.NodeAt(3), nullptr);
}

TEST(XmlDocumentTest, NewDocumentHoldsDefaultsThatLoadingDiscards) {
    TXmlDocument document;
    ASSERT_EQ(document.NodeCount(), 2);
    EXPECT_EQ(document.NodeAt(0)->NodeKind(), TNodeKind::Declaration);
    ASSERT_NE(document.RootElement(), nullptr);
    EXPECT_EQ(document.RootElement()->Name(), "");

    document.LoadFromText("<a/><b/>");
    ASSERT_EQ(document.NodeCount(), 2);
    EXPECT_EQ(document.RootElement()->Name(), "a");
    EXPECT_EQ(document.NodeAt(1)->Name(), "b");
}

TEST(XmlDocumentTest, InternalSubsetDeclaresNothing) {
    TXmlDocument document;
    document.LoadFromText("<!DOCTYPE r PUBLIC \"-//x[y]//\"  \"r.dtd\" [\n"
                          "  <!ELEMENT r ANY> %pe; <!ATTLIST r a CDATA \"]>\"><!-- ] -->\n"
                          "] junk ><r>&e;</r>");
    const TXmlNode* docType = document.NodeAt(0);
    EXPECT_EQ(docType->Name(), "r");
    EXPECT_EQ(docType->Value(), "PUBLIC \"-//x[y]//\" \"r.dtd\"");
    EXPECT_EQ(Describe(*docType), "l:r=ANY|a:r=a CDATA \"]>\"|C:Comment= ] |");
    EXPECT_EQ(document.RootElement()->ValueText(), "&e;");
}

struct TAttributeCase {
    const char* tag;
    const char* name;
    const char* value;
};

class TXmlAttributesTest : public ::testing::TestWithParam<TAttributeCase> {};

TEST_P(TXmlAttributesTest, AttributeValue) {
    TXmlDocument document;
    document.LoadFromText(GetParam().tag);
    EXPECT_EQ(document.RootElement()->AttributeValue(GetParam().name), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TXmlAttributesTest,
    ::testing::Values(
        TAttributeCase{"<r type=\"A\"/>", "type", "A"}, TAttributeCase{"<r type = \"A\"/>", "TYPE", "A"},
        TAttributeCase{"<r type =\"A\"/>", "Type", "A"}, TAttributeCase{"<r type= \"A\"/>", "type", "A"},
        TAttributeCase{"<r\ttype\r\n=\n'ReadCard'>x</r>", "type", "ReadCard"},
        TAttributeCase{"<r v=\"a\"\"b\"/>", "v", "a\"b"}, TAttributeCase{"<r v='a''b'/>", "v", "a'b"},
        TAttributeCase{"<r v=\"a&amp;b&#65;\"/>", "v", "a&bA"},
        TAttributeCase{"<r v=\"a b > c\"/>", "v", "a b > c"}, TAttributeCase{"<r v=abc/>", "v", "abc"},
        TAttributeCase{"<r v=\"a\"b/>", "v", "a"}, TAttributeCase{"<r v=\"\"/>", "v", ""},
        TAttributeCase{"<r a=\"1\" A=\"2\"/>", "a", "1"}, TAttributeCase{"<r v w=\"1\"/>", "v", ""},
        TAttributeCase{"<r w=\"1\"/>", "v", ""}, TAttributeCase{"<r/>", "v", ""},
        TAttributeCase{"<r v=\"\xD5\xC5\"/>", "v", "\xD5\xC5"}));

TEST(XmlAttributesTest, WordsAreJoinedOnlyAcrossEquals) {
    TXmlDocument document;
    document.LoadFromText("<r a = 'x' \"y\" b c= =\"z\" d \"e\"/>");
    EXPECT_EQ(document.RootElement()->Attributes(),
              (std::vector<std::string>{"a='x'", "\"y\"", "b", "c==\"z\"", "d", "\"e\""}));
}

struct TReferenceCase {
    std::string text;
    std::string resolved;
};

class TXmlReferencesTest : public ::testing::TestWithParam<TReferenceCase> {};

TEST_P(TXmlReferencesTest, ResolveInOnePass) {
    EXPECT_EQ(ResolveReferences(GetParam().text), GetParam().resolved);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TXmlReferencesTest,
    ::testing::Values(TReferenceCase{"x &amp;lt; y", "x &lt; y"}, TReferenceCase{"&#38;amp;", "&amp;"},
                      TReferenceCase{"&#65;&#x42;&#X43;", "ABC"}, TReferenceCase{"&#254;", "\xFE"},
                      TReferenceCase{"&#0;", std::string(1, '\0')}, TReferenceCase{"&#255;", "&#255;"},
                      TReferenceCase{"&#300;", "&#300;"}, TReferenceCase{"&#-1;", "&#-1;"},
                      TReferenceCase{"&#;&#abc;", "&#;&#abc;"}, TReferenceCase{"&nbsp;&AMP;", "&nbsp;&AMP;"},
                      TReferenceCase{"&lt;&gt;&apos;&quot;&amp;", "<>'\"&"},
                      TReferenceCase{"a &amp b", "a &amp b"},
                      // The reference runs from the "&" to the next ";", whatever lies between.
                      TReferenceCase{"a & b &amp; c", "a & b &amp; c"},
                      TReferenceCase{"\xD5\xC5&amp;\xC8\xFD", "\xD5\xC5&\xC8\xFD"}));

TEST(XmlValuesTest, IntegerReadingUsesTheRawValue) {
    TXmlDocument document;
    document.LoadFromText("<r><a> 12 </a><b>x1F</b><c>&#49;</c><d>-7</d></r>");
    const TXmlNode* root = document.RootElement();
    try {
        root->ChildAt(0)->ValueInteger();
        FAIL();
    } catch (const EConvertError& error) {
        EXPECT_STREQ(error.what(), "' 12 ' is not a valid integer value");
    }
    EXPECT_EQ(root->ChildAt(0)->ValueIntegerDef(-1), -1);
    EXPECT_EQ(root->ChildAt(1)->ValueInteger(), 31);
    EXPECT_EQ(root->ChildAt(2)->ValueText(), "1");
    EXPECT_EQ(root->ChildAt(2)->ValueIntegerDef(-1), -1);
    EXPECT_EQ(root->ChildAt(3)->ValueIntegerDef(0), -7);
}

// Requests come from the network: nesting is capped rather than followed down the stack.
TEST(XmlRobustnessTest, NestingIsCapped) {
    auto nested = [](int levels) {
        std::string text;
        for (int i = 0; i < levels; ++i)
            text += "<a>";
        for (int i = 0; i < levels; ++i)
            text += "</a>";
        return text;
    };
    TXmlDocument document;
    EXPECT_NO_THROW(document.LoadFromText(nested(256)));
    for (int levels : {257, 10000}) {
        try {
            document.LoadFromText(nested(levels));
            FAIL() << levels;
        } catch (const EXmlParseError& error) {
            EXPECT_STREQ(error.what(), "Element nesting too deep in element a");
        }
    }
    std::string docTypes;
    for (int i = 0; i < 10000; ++i)
        docTypes += "<!DOCTYPE d [";
    EXPECT_THROW(document.LoadFromText(docTypes + "<r/>"), EXmlParseError);
}

TEST(XmlRobustnessTest, LongCommentAndTextAreRead) {
    TXmlDocument document;
    document.LoadFromText("<r><!--" + std::string(16000, '-') + "--></r>");
    EXPECT_EQ(document.RootElement()->ChildAt(0)->Value(), std::string(16000, '-'));
    document.LoadFromText("<r>" + std::string(16000, '&') + "</r>");
    EXPECT_EQ(document.RootElement()->ValueText().size(), 16000u);
}

} // namespace
