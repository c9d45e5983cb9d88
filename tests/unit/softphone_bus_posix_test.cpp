// The contract header that the build generates from the introspection file, read here
// against that file by a real XML parser: the names and tables that the binding, the bus
// server, its engines and the benchmark take from it.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "contract/SoftphoneContract.h"

namespace {

using Doc = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

std::string Attr(xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    std::string text = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return text;
}

std::vector<xmlNode*> Children(xmlNode* parent, const char* element) {
    std::vector<xmlNode*> found;
    for (xmlNode* n = parent->children; n; n = n->next)
        if (n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, reinterpret_cast<const xmlChar*>(element)))
            found.push_back(n);
    return found;
}

struct Arg {
    std::string name, type, direction;
    bool operator==(const Arg&) const = default;
    friend void PrintTo(const Arg& arg, std::ostream* os) {
        *os << arg.type << ' ' << arg.name << (arg.direction.empty() ? "" : " " + arg.direction);
    }
};

std::vector<Arg> Args(xmlNode* member) {
    std::vector<Arg> args;
    for (xmlNode* arg : Children(member, "arg"))
        args.push_back({Attr(arg, "name"), Attr(arg, "type"), Attr(arg, "direction")});
    return args;
}

class SoftphoneBusFile : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_doc) << "cannot parse " << QUVO_SOFTPHONE_BUS_XML;
        xmlNode* root = xmlDocGetRootElement(m_doc.get());
        for (xmlNode* iface : Children(root, "interface")) m_interfaces[Attr(iface, "name")] = iface;
    }

    Doc m_doc{xmlReadFile(QUVO_SOFTPHONE_BUS_XML, nullptr, XML_PARSE_NONET), &xmlFreeDoc};
    std::map<std::string, xmlNode*> m_interfaces;
};

TEST_F(SoftphoneBusFile, DescribesTheObjectAndItsTwoInterfaces) {
    EXPECT_EQ(Attr(xmlDocGetRootElement(m_doc.get()), "name"), quvo::bus::kObjectPath);
    ASSERT_EQ(m_interfaces.size(), 2u);
    EXPECT_TRUE(m_interfaces.count(quvo::bus::kSoftphoneInterface));
    EXPECT_TRUE(m_interfaces.count(quvo::bus::kEventsInterface));
}

TEST_F(SoftphoneBusFile, NamesTheBusNameAndTheErrorOnTheOperationsInterface) {
    ASSERT_TRUE(m_interfaces.count(quvo::bus::kSoftphoneInterface));
    std::map<std::string, std::string> annotations;
    for (xmlNode* note : Children(m_interfaces[quvo::bus::kSoftphoneInterface], "annotation"))
        annotations[Attr(note, "name")] = Attr(note, "value");
    EXPECT_EQ(annotations, (std::map<std::string, std::string>{
                               {"com.quelbo.QUVO.BusName", quvo::bus::kBusName},
                               {"com.quelbo.QUVO.ErrorName", quvo::bus::kErrorFailed},
                           }));
}

TEST_F(SoftphoneBusFile, ListsEveryOperationInSlotOrderWithItsArguments) {
    ASSERT_TRUE(m_interfaces.count(quvo::bus::kSoftphoneInterface));
    const auto methods = Children(m_interfaces[quvo::bus::kSoftphoneInterface], "method");
    ASSERT_EQ(methods.size(), quvo::bus::kMethods.size());
    for (size_t i = 0; i < methods.size(); ++i) {
        const quvo::bus::Method& expected = *quvo::bus::kMethods[i];
        SCOPED_TRACE(expected.name);
        EXPECT_EQ(Attr(methods[i], "name"), expected.name);
        // The engines switch over the id: it must be the slot's.
        EXPECT_EQ(static_cast<size_t>(expected.id), i);
        std::vector<Arg> args;
        for (size_t a = 0; a < expected.ArgCount(); ++a)
            args.push_back({expected.argNames[a], std::string(1, expected.signature[a]), "in"});
        EXPECT_EQ(Args(methods[i]), args);
    }
}

TEST_F(SoftphoneBusFile, DocumentsTheEventSignalAndEveryDispid) {
    ASSERT_TRUE(m_interfaces.count(quvo::bus::kEventsInterface));
    const auto signals = Children(m_interfaces[quvo::bus::kEventsInterface], "signal");
    ASSERT_EQ(signals.size(), 1u);
    EXPECT_EQ(Attr(signals[0], "name"), quvo::bus::kEventSignal);
    EXPECT_EQ(Args(signals[0]), (std::vector<Arg>{{quvo::bus::kEventArgNames[0], "i", ""},
                                                  {quvo::bus::kEventArgNames[1], "av", ""}}));

    // Each annotation reads "Name(t name, t name, ...)".
    std::map<std::string, std::string> annotations;
    for (xmlNode* note : Children(signals[0], "annotation"))
        annotations[Attr(note, "name")] = Attr(note, "value");
    ASSERT_EQ(annotations.size(), quvo::bus::kEvents.size());
    for (const auto& event : quvo::bus::kEvents) {
        SCOPED_TRACE(event.name);
        const std::string value = annotations["com.quelbo.QUVO.Event." + std::to_string(event.dispid)];
        const auto open = value.find('(');
        ASSERT_NE(open, std::string::npos);
        ASSERT_EQ(value.back(), ')');
        EXPECT_EQ(value.substr(0, open), event.name);
        std::string types;
        const std::string list = value.substr(open + 1, value.size() - open - 2);
        for (size_t at = 0; at < list.size();) {
            types += list[at];
            EXPECT_EQ(list[at + 1], ' ') << "type then name: " << list;
            const auto comma = list.find(", ", at);
            at = comma == std::string::npos ? list.size() : comma + 2;
        }
        EXPECT_EQ(types, event.signature);
    }
}

TEST(SoftphoneBus, EventsAreNumberedOneToTwentyWithDistinctNames) {
    std::map<std::string, int> seen;
    for (size_t i = 0; i < quvo::bus::kEvents.size(); ++i) {
        EXPECT_EQ(quvo::bus::kEvents[i].dispid, static_cast<int32_t>(i + 1));
        EXPECT_TRUE(seen.emplace(quvo::bus::kEvents[i].name, 0).second) << quvo::bus::kEvents[i].name;
    }
}

}  // namespace
