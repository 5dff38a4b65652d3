// The Group Policy template (packaging/policy): both files are well-formed XML in the policy
// definitions namespace with the parts the Group Policy editor requires, every string and
// presentation the ADMX names is defined in the ADML, and the policies write the very key and
// value names that the update service reads.
#include "updatepolicy.h"
#include "xmlreader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

namespace {

using xmltest::Element;

const char kPolicyNamespace[] = "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions";
const char kMachineRoot[] = "HKEY_LOCAL_MACHINE\\";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool ParseText(const std::string& text, Element& root, std::string& error) {
  return xmltest::Reader(text).Parse(root, error);
}

// The reader decides whether the template counts as well-formed, so it must refuse what an XML
// parser refuses and decode what it decodes.
TEST(XmlReader, RefusesDocumentsThatAreNotWellFormed) {
  const struct {
    const char* why;
    const char* text;
  } cases[] = {
      {"end tag does not match", "<a><b></a></b>"},
      {"element not closed", "<a><b/>"},
      {"second root", "<a/><b/>"},
      {"text after the root", "<a/>x"},
      {"attribute twice", "<a x='1' x='2'/>"},
      {"unquoted attribute", "<a x=1/>"},
      {"'<' in an attribute", "<a x='<'/>"},
      {"unknown entity", "<a>&nbsp;</a>"},
      {"bare ampersand", "<a>R&D</a>"},
      {"'--' inside a comment", "<a><!-- a -- b --></a>"},
      {"declaration not first", "<!-- c --><?xml version='1.0'?><a/>"},
      {"no attribute separator", "<a x='1'y='2'/>"},
      {"document type", "<!DOCTYPE a><a/>"},
      {"bad UTF-8", "<a>\xC3</a>"},
      {"control character", "<a>\x01</a>"},
      {"empty document", ""},
  };
  for (const auto& c : cases) {
    Element root;
    std::string error;
    EXPECT_FALSE(ParseText(c.text, root, error)) << c.why;
  }
}

TEST(XmlReader, ReadsElementsAttributesAndReferences) {
  Element root;
  std::string error;
  ASSERT_TRUE(ParseText("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- c -->\n"
                        "<r xmlns=\"urn:x\" a='R&amp;D &#x41;&#66;'><c n=\"1\"/><c n=\"2\">t&lt;<![CDATA[&]]></c></r>\n",
                        root, error))
      << error;
  EXPECT_EQ(root.name, "r");
  EXPECT_EQ(root.AttributeOr("xmlns"), "urn:x");
  EXPECT_EQ(root.AttributeOr("a"), "R&D AB");
  ASSERT_EQ(root.ChildrenNamed("c").size(), 2u);
  EXPECT_EQ(root.children[1].AttributeOr("n"), "2");
  EXPECT_EQ(root.children[1].text, "t<&");
}

class PolicyTemplate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Load(std::string(CINDRAVALE_POLICY_DIR) + "/Cindravale.admx", admx_));
    ASSERT_TRUE(Load(std::string(CINDRAVALE_POLICY_DIR) + "/en-US/Cindravale.adml", adml_));
    for (const Element* string : Resources(adml_, "stringTable")) strings_[string->AttributeOr("id")] = string->text;
    for (const Element* presentation : Resources(adml_, "presentationTable"))
      presentations_[presentation->AttributeOr("id")] = presentation;
  }

  static bool Load(const std::string& path, Element& root) {
    std::string text = ReadText(path);
    std::string error;
    bool parsed = !text.empty() && ParseText(text, root, error);
    EXPECT_TRUE(parsed) << path << ": " << (text.empty() ? "missing or empty" : error);
    return parsed;
  }

  // The entries of one table below the ADML's <resources>.
  static std::vector<const Element*> Resources(const Element& adml, const char* table) {
    std::vector<const Element*> entries;
    const Element* resources = adml.Child("resources");
    const Element* found = resources ? resources->Child(table) : nullptr;
    if (found)
      for (const Element& entry : found->children) entries.push_back(&entry);
    return entries;
  }

  std::vector<const Element*> Policies() const {
    const Element* policies = admx_.Child("policies");
    return policies ? policies->ChildrenNamed("policy") : std::vector<const Element*>{};
  }
  const Element* Policy(const char* name) const {
    for (const Element* policy : Policies())
      if (policy->AttributeOr("name") == name) return policy;
    return nullptr;
  }

  // The id inside "$(kind.id)", or empty when the value is not such a reference.
  static std::string ReferenceId(const std::string& value, const char* kind) {
    std::string head = std::string("$(") + kind + ".";
    if (value.compare(0, head.size(), head) != 0 || value.back() != ')') return "";
    return value.substr(head.size(), value.size() - head.size() - 1);
  }

  // Every attribute value below `element` that names a string or presentation: "$(kind.id)".
  struct NameReference {
    std::string kind, id, where;
  };
  static void CollectReferences(const Element& element, std::vector<NameReference>& references) {
    for (const auto& [key, value] : element.attributes) {
      if (value.compare(0, 2, "$(") != 0) continue;
      size_t dot = value.find('.');
      std::string where = "<" + element.name + " " + key + "=\"" + value + "\">";
      if (dot == std::string::npos || value.back() != ')')
        references.push_back({"", "", where});
      else
        references.push_back({value.substr(2, dot - 2), value.substr(dot + 1, value.size() - dot - 2), where});
    }
    for (const Element& child : element.children) CollectReferences(child, references);
  }

  Element admx_, adml_;
  std::map<std::string, std::string> strings_;
  std::map<std::string, const Element*> presentations_;
};

TEST_F(PolicyTemplate, BothFilesAreInThePolicyNamespaceWithTheRequiredParts) {
  EXPECT_EQ(admx_.name, "policyDefinitions");
  EXPECT_EQ(adml_.name, "policyDefinitionResources");
  for (const Element* root : {&admx_, &adml_}) {
    EXPECT_EQ(root->AttributeOr("xmlns"), kPolicyNamespace) << root->name;
    EXPECT_EQ(root->AttributeOr("schemaVersion"), "1.0") << root->name;
    EXPECT_FALSE(root->AttributeOr("revision").empty()) << root->name;
  }

  // The ADMX's parts in the order of its schema, each at most once except the repeatable ones.
  const char* order[] = {"policyNamespaces", "supersededAdm", "annotation", "resources",
                         "supportedOn",      "categories",    "policies"};
  size_t last = 0;
  std::set<std::string> seen;
  for (const Element& part : admx_.children) {
    size_t index = std::find_if(std::begin(order), std::end(order), [&](const char* n) { return part.name == n; }) -
                   std::begin(order);
    ASSERT_LT(index, std::size(order)) << "unexpected <" << part.name << "> in the ADMX";
    EXPECT_GE(index, last) << "<" << part.name << "> out of order";
    bool repeatable = part.name == "supersededAdm" || part.name == "annotation";
    EXPECT_TRUE(seen.insert(part.name).second || repeatable) << "<" << part.name << "> twice";
    last = index;
  }
  const Element* namespaces = admx_.Child("policyNamespaces");
  ASSERT_NE(namespaces, nullptr);
  const Element* target = namespaces->Child("target");
  ASSERT_NE(target, nullptr);
  EXPECT_FALSE(target->AttributeOr("prefix").empty());
  EXPECT_FALSE(target->AttributeOr("namespace").empty());
  const Element* resources = admx_.Child("resources");
  ASSERT_NE(resources, nullptr);
  // The editor loads the ADML only when its revision reaches the one the ADMX requires.
  EXPECT_EQ(resources->AttributeOr("minRequiredRevision"), adml_.AttributeOr("revision"));

  ASSERT_NE(adml_.Child("resources"), nullptr);
  EXPECT_NE(adml_.Child("resources")->Child("stringTable"), nullptr);
  EXPECT_FALSE(Policies().empty());
}

TEST_F(PolicyTemplate, EveryNameTheAdmxUsesIsDefined) {
  // Strings and presentations in the ADML, each id once.
  std::set<std::string> ids;
  for (const Element* string : Resources(adml_, "stringTable")) {
    EXPECT_EQ(string->name, "string");
    EXPECT_TRUE(ids.insert(string->AttributeOr("id")).second) << "string " << string->AttributeOr("id") << " twice";
  }
  std::vector<NameReference> references;
  CollectReferences(admx_, references);
  ASSERT_FALSE(references.empty());
  for (const NameReference& reference : references) {
    if (reference.kind == "string")
      EXPECT_EQ(strings_.count(reference.id), 1u) << reference.where << ": not in the ADML's string table";
    else if (reference.kind == "presentation")
      EXPECT_EQ(presentations_.count(reference.id), 1u) << reference.where << ": not in the ADML's presentation table";
    else
      ADD_FAILURE() << reference.where << ": neither a string nor a presentation";
  }

  // Categories and supportedOn definitions that policies and categories refer to.
  std::set<std::string> categories, supported;
  if (const Element* list = admx_.Child("categories"))
    for (const Element* category : list->ChildrenNamed("category")) categories.insert(category->AttributeOr("name"));
  if (const Element* list = admx_.Child("supportedOn"))
    if (const Element* definitions = list->Child("definitions"))
      for (const Element* definition : definitions->ChildrenNamed("definition"))
        supported.insert(definition->AttributeOr("name"));
  if (const Element* list = admx_.Child("categories")) {
    for (const Element* category : list->ChildrenNamed("category")) {
      if (const Element* parent = category->Child("parentCategory")) {
        EXPECT_EQ(categories.count(parent->AttributeOr("ref")), 1u) << category->AttributeOr("name");
      }
    }
  }

  for (const Element* policy : Policies()) {
    std::string name = policy->AttributeOr("name");
    SCOPED_TRACE("policy " + name);
    EXPECT_FALSE(name.empty());
    EXPECT_FALSE(ReferenceId(policy->AttributeOr("displayName"), "string").empty());
    EXPECT_FALSE(policy->AttributeOr("key").empty());
    const Element* category = policy->Child("parentCategory");
    ASSERT_NE(category, nullptr);
    EXPECT_EQ(categories.count(category->AttributeOr("ref")), 1u);
    const Element* supportedOn = policy->Child("supportedOn");
    ASSERT_NE(supportedOn, nullptr) << "supportedOn is required";
    EXPECT_EQ(supported.count(supportedOn->AttributeOr("ref")), 1u);

    // A presentation shows exactly the policy's elements, each by its id.
    std::set<std::string> elementIds;
    if (const Element* elements = policy->Child("elements"))
      for (const Element& element : elements->children) elementIds.insert(element.AttributeOr("id"));
    std::string presentationId = ReferenceId(policy->AttributeOr("presentation"), "presentation");
    if (elementIds.empty()) {
      EXPECT_TRUE(presentationId.empty()) << "a presentation without elements";
      continue;
    }
    ASSERT_FALSE(presentationId.empty()) << "elements without a presentation";
    auto presentation = presentations_.find(presentationId);
    ASSERT_NE(presentation, presentations_.end()) << "presentation " << presentationId << " is not in the ADML";
    std::set<std::string> shown;
    for (const Element& control : presentation->second->children)
      if (control.Attribute("refId")) shown.insert(control.AttributeOr("refId"));
    EXPECT_EQ(shown, elementIds);
  }
}

// The key as the template writes it: below HKEY_LOCAL_MACHINE for a machine policy.
std::string TemplateKey(const char* serviceKeyPath) {
  std::string key(serviceKeyPath);
  EXPECT_EQ(key.compare(0, std::strlen(kMachineRoot), kMachineRoot), 0) << key;
  return key.substr(std::strlen(kMachineRoot));
}

TEST_F(PolicyTemplate, AutomaticUpdatesWritesTheDwordTheUpdateServiceReads) {
  const Element* policy = Policy("AutoUpdate");
  ASSERT_NE(policy, nullptr);
  EXPECT_EQ(strings_[ReferenceId(policy->AttributeOr("displayName"), "string")], "Automatic updates");
  EXPECT_EQ(policy->AttributeOr("class"), "Machine");
  // Group Policy compares and writes keys without regard to case; the service opens the same.
  EXPECT_EQ(policy->AttributeOr("key"), TemplateKey(kAutoUpdate.keyPath));
  EXPECT_EQ(policy->AttributeOr("valueName"), kAutoUpdate.valueName);
  // <decimal> is written as a REG_DWORD: a text "0" would read as 0 too, but a text "1" would
  // switch updates off, since the service reads any value that is not a DWORD as 0.
  const struct {
    const char* state;
    const char* value;
  } states[] = {{"enabledValue", "1"}, {"disabledValue", "0"}};
  for (const auto& s : states) {
    const Element* state = policy->Child(s.state);
    ASSERT_NE(state, nullptr) << s.state;
    ASSERT_EQ(state->children.size(), 1u) << s.state;
    EXPECT_EQ(state->children[0].name, "decimal") << s.state;
    EXPECT_EQ(state->children[0].AttributeOr("value"), s.value) << s.state;
  }
}

TEST_F(PolicyTemplate, UpdateAddressWritesTheTextValueTheUpdateServiceReads) {
  const Element* policy = Policy("AutoUpdateUrl");
  ASSERT_NE(policy, nullptr);
  EXPECT_EQ(policy->AttributeOr("class"), "Machine");
  EXPECT_EQ(policy->AttributeOr("key"), TemplateKey(kAutoUpdateUrl.keyPath));
  EXPECT_EQ(policy->Attribute("valueName"), nullptr) << "the policy itself writes no value";
  const Element* elements = policy->Child("elements");
  ASSERT_NE(elements, nullptr);
  ASSERT_EQ(elements->children.size(), 1u);
  const Element& text = elements->children[0];
  EXPECT_EQ(text.name, "text");
  EXPECT_EQ(text.AttributeOr("valueName"), kAutoUpdateUrl.valueName);
  // An element's own key, when given, would move the value elsewhere.
  EXPECT_EQ(text.Attribute("key"), nullptr);
}

}  // namespace
