#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "Zavorida/Source/ZVError.hpp"
#include "Zavorida/Source/ParameterEncoding.hpp"
#include "platform/foundation/Json.hpp"

namespace Zavorida {
namespace {

plat::URLRequest requestFor(const std::string& url, std::optional<std::string> method = "GET") {
    plat::URLRequest request(plat::URL::parse(url));
    request.setHTTPMethod(std::move(method));
    return request;
}

std::string bodyText(const plat::URLRequest& request) {
    const auto& body = request.httpBody();
    return body ? std::string(body->begin(), body->end()) : std::string("<no body>");
}

const char* kForm = "application/x-www-form-urlencoded; charset=utf-8";

// Where URLEncoding puts the parameters, by destination and method token.
struct PlacementCase {
    URLEncoding::Destination destination;
    std::optional<std::string> method;
    bool inURL;
};

// Test names show the destination and the method, not the struct's bytes.
void PrintTo(const PlacementCase& c, std::ostream* os) {
    *os << (c.destination == URLEncoding::Destination::queryString ? "queryString"
            : c.destination == URLEncoding::Destination::httpBody  ? "httpBody"
                                                                    : "methodDependent")
        << "_" << c.method.value_or("none");
}

class URLEncodingPlacement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(URLEncodingPlacement, ChoosesQueryOrBody) {
    const PlacementCase& c = GetParam();
    URLEncoding encoding(c.destination);
    auto request = encoding.encodeParameters(requestFor("https://api.test/items", c.method),
                                             ParameterDictionary{{"b", 2}, {"a", "x y"}});
    if (c.inURL) {
        EXPECT_EQ(request.url()->absoluteString(), "https://api.test/items?a=x%20y&b=2");
        EXPECT_FALSE(request.httpBody().has_value());
        EXPECT_FALSE(request.value("Content-Type").has_value());
    } else {
        EXPECT_EQ(request.url()->absoluteString(), "https://api.test/items");
        EXPECT_EQ(bodyText(request), "a=x%20y&b=2");
        EXPECT_EQ(request.value("Content-Type"), kForm);
    }
}

using D = URLEncoding::Destination;
INSTANTIATE_TEST_SUITE_P(Methods, URLEncodingPlacement,
                         ::testing::Values(PlacementCase{D::methodDependent, "GET", true},
                                           PlacementCase{D::methodDependent, "HEAD", true},
                                           PlacementCase{D::methodDependent, "DELETE", true},
                                           PlacementCase{D::methodDependent, std::nullopt, true},
                                           PlacementCase{D::methodDependent, "POST", false},
                                           PlacementCase{D::methodDependent, "PUT", false},
                                           PlacementCase{D::methodDependent, "get", false},
                                           PlacementCase{D::methodDependent, "FETCH", false},
                                           PlacementCase{D::queryString, "POST", true},
                                           PlacementCase{D::queryString, "get", false},
                                           PlacementCase{D::httpBody, "GET", false}));

struct QueryCase {
    const char* name;
    ParameterDictionary parameters;
    URLEncoding encoding;
    std::string query;
};

void PrintTo(const QueryCase& c, std::ostream* os) {
    *os << c.name;
}

class URLEncodingQuery : public ::testing::TestWithParam<QueryCase> {};

TEST_P(URLEncodingQuery, MakesTheQueryString) {
    const QueryCase& c = GetParam();
    EXPECT_EQ(c.encoding.makeQueryString(c.parameters), c.query);
}

plat::Value array(std::initializer_list<plat::Value> items) {
    return plat::Value(plat::Array(items));
}
plat::Value dictionary(std::initializer_list<plat::Dictionary::Entry> entries) {
    return plat::Value(plat::Dictionary(entries));
}

const URLEncoding kDefault;
const URLEncoding kNoBrackets(D::methodDependent, URLEncoding::ArrayEncoding::noBrackets);
const URLEncoding kLiteral(D::methodDependent, URLEncoding::ArrayEncoding::brackets,
                           URLEncoding::BoolEncoding::literal);

INSTANTIATE_TEST_SUITE_P(
    Cases, URLEncodingQuery,
    ::testing::Values(
        QueryCase{"SortedKeys", {{"b", 2}, {"a", 1}, {"B", 3}}, kDefault, "B=3&a=1&b=2"},
        // Nested keys keep their insertion order and are escaped once, at the leaf.
        QueryCase{"NestedDictionary",
                  {{"user", dictionary({{"name", "ann"}, {"age", 7}, {"tags", array({"x"})}})}},
                  kDefault,
                  "user%5Bname%5D=ann&user%5Bage%5D=7&user%5Btags%5D%5B%5D=x"},
        QueryCase{"ArrayBrackets", {{"ids", array({1, 2})}}, kDefault, "ids%5B%5D=1&ids%5B%5D=2"},
        QueryCase{"ArrayNoBrackets", {{"ids", array({1, 2})}}, kNoBrackets, "ids=1&ids=2"},
        QueryCase{"EmptyContainersVanish",
                  {{"a", array({})}, {"b", plat::Value::emptyDictionary()}, {"c", 1}},
                  kDefault,
                  "c=1"},
        QueryCase{"BoolsNumeric", {{"t", true}, {"f", false}}, kDefault, "f=0&t=1"},
        QueryCase{"BoolsLiteral", {{"t", true}, {"f", false}}, kLiteral, "f=false&t=true"},
        // A number is not a bool, even when it is one.
        QueryCase{"NumbersAreNotBools", {{"one", 1}, {"half", 0.5}}, kLiteral, "half=0.5&one=1"},
        QueryCase{"ReservedCharacters",
                  {{"q", "a b&c=d/e?f:g#h[i]j@k!l$m'n(o)p*q+r,s;t"}},
                  kDefault,
                  "q=a%20b%26c%3Dd/e?f%3Ag%23h%5Bi%5Dj%40k%21l%24m%27n%28o%29p%2Aq%2Br%2Cs%3Bt"},
        QueryCase{"UnreservedStay", {{"k-._~", "AZaz09-._~"}}, kDefault, "k-._~=AZaz09-._~"},
        QueryCase{"NonASCIIPerUTF8Byte", {{"city", "Zürich €"}}, kDefault, "city=Z%C3%BCrich%20%E2%82%AC"},
        QueryCase{"NullDescribesItself", {{"n", nullptr}}, kDefault, "n=%3Cnull%3E"}));

TEST(URLEncoding, AppendsToAnExistingQuery) {
    // The existing query stays as the URL holds it, also where the components' query setter would refuse
    // its characters; an empty query still counts as one; a fragment stays at the end.
    const std::pair<const char*, const char*> cases[] = {
        {"https://h.test/p?x=1", "https://h.test/p?x=1&b=2"},
        {"https://h.test/p?", "https://h.test/p?&b=2"},
        {"https://h.test/p?a[]=1", "https://h.test/p?a[]=1&b=2"},
        {"https://h.test/p?m[k]=v&a[]=1", "https://h.test/p?m[k]=v&a[]=1&b=2"},
        {"https://h.test/p?x=1#top", "https://h.test/p?x=1&b=2#top"},
        {"https://u:pw@h.test:8443/p?a[]=1#f", "https://u:pw@h.test:8443/p?a[]=1&b=2#f"},
    };
    for (const auto& [url, expected] : cases) {
        SCOPED_TRACE(url);
        auto request =
            URLEncoding::defaultEncoding().encodeParameters(requestFor(url), ParameterDictionary{{"b", 2}});
        ASSERT_TRUE(request.url());
        EXPECT_EQ(request.url()->absoluteString(), expected);
    }
}

TEST(URLEncoding, EmptyAndAbsentParameters) {
    auto query = URLEncoding::defaultEncoding().encodeParameters(requestFor("https://h.test/p"),
                                                                 ParameterDictionary{});
    EXPECT_EQ(query.url()->absoluteString(), "https://h.test/p");

    auto body = URLEncoding::httpBodyEncoding().encodeParameters(requestFor("https://h.test/p", "POST"),
                                                                 ParameterDictionary{});
    ASSERT_TRUE(body.httpBody().has_value());
    EXPECT_TRUE(body.httpBody()->empty());
    EXPECT_EQ(body.value("Content-Type"), kForm);

    const URLEncoding urlBody(D::httpBody);
    const JSONEncoding json;
    const PropertyListEncoding plist;
    for (const ParameterEncoding* encoding :
         {static_cast<const ParameterEncoding*>(&urlBody), static_cast<const ParameterEncoding*>(&json),
          static_cast<const ParameterEncoding*>(&plist)}) {
        auto unchanged = encoding->encodeParameters(requestFor("https://h.test/p", "POST"), std::nullopt);
        EXPECT_FALSE(unchanged.httpBody().has_value());
        EXPECT_FALSE(unchanged.value("Content-Type").has_value());
        EXPECT_EQ(unchanged.url()->absoluteString(), "https://h.test/p");
    }
}

TEST(URLEncoding, QueryDestinationWithoutURLThrowsMissingURL) {
    plat::URLRequest noURL;
    noURL.setHTTPMethod("GET");
    for (const auto& parameters : {ParameterDictionary{}, ParameterDictionary{{"a", 1}}}) {
        try {
            URLEncoding::queryStringEncoding().encodeParameters(noURL, parameters);
            FAIL() << "expected missingURL";
        } catch (const ZVError& e) {
            ASSERT_NE(e.parameterEncodingReason(), nullptr);
            EXPECT_EQ(e.parameterEncodingReason()->kase(),
                      ZVError::ParameterEncodingFailureReason::Case::missingURL);
        }
    }
}

TEST(ParameterEncoding, ACallerSetContentTypeSurvivesEveryEncoding) {
    auto withType = requestFor("https://h.test/p", "POST");
    withType.setValue("text/custom", "content-type");
    const ParameterDictionary parameters{{"a", 1}};
    EXPECT_EQ(URLEncoding::httpBodyEncoding().encodeParameters(withType, parameters).value("Content-Type"),
              "text/custom");
    EXPECT_EQ(JSONEncoding().encodeParameters(withType, parameters).value("Content-Type"), "text/custom");
    EXPECT_EQ(PropertyListEncoding().encodeParameters(withType, parameters).value("Content-Type"),
              "text/custom");
}

TEST(ParameterEncoding, ConversionErrorsPropagateUnchanged) {
    URLRequestConvertible failing(std::function<plat::URLRequest()>(
        []() -> plat::URLRequest { throw ZVError::invalidURL("not a url"); }));
    EXPECT_THROW(URLEncoding().encodeParameters(failing, ParameterDictionary{}), ZVError);
    EXPECT_THROW(JSONEncoding().encodeParameters(failing, std::nullopt), ZVError);
    EXPECT_THROW(PropertyListEncoding().encodeParameters(failing, std::nullopt), ZVError);
}

TEST(JSONEncoding, WritesTheBodyWhateverTheMethod) {
    auto request = JSONEncoding::emptyWritingOptions().encodeParameters(
        requestFor("https://h.test/p?keep=1", "GET"), ParameterDictionary{{"player-id", "abc"}, {"n", 1}});
    EXPECT_EQ(bodyText(request), "{\"player-id\":\"abc\",\"n\":1}");
    EXPECT_EQ(request.value("Content-Type"), "application/json");
    EXPECT_EQ(request.url()->absoluteString(), "https://h.test/p?keep=1");

    auto pretty = JSONEncoding::prettyPrintedEncoding().encodeParameters(
        requestFor("https://h.test/p", "POST"), ParameterDictionary{{"a", 1}});
    EXPECT_EQ(bodyText(pretty), *plat::JSONSerialization::string(plat::Value(plat::Dictionary{{"a", 1}}), 1));

    auto list = JSONEncoding().encodeJSONObject(requestFor("https://h.test/p", "POST"), array({1, "two"}));
    EXPECT_EQ(bodyText(list), "[1,\"two\"]");
}

TEST(JSONEncoding, WriterFailureThrowsWithTheWritersErrorAndLeavesNoBody) {
    try {
        JSONEncoding().encodeParameters(
            requestFor("https://h.test/p", "POST"),
            ParameterDictionary{{"bad", std::numeric_limits<double>::infinity()}});
        FAIL() << "expected jsonEncodingFailed";
    } catch (const ZVError& e) {
        ASSERT_NE(e.parameterEncodingReason(), nullptr);
        EXPECT_EQ(e.parameterEncodingReason()->kase(),
                  ZVError::ParameterEncodingFailureReason::Case::jsonEncodingFailed);
        ASSERT_NE(e.wrappedError(), nullptr);
        EXPECT_EQ(e.wrappedError()->code, plat::NSPropertyListWriteInvalidError);
    }
}

TEST(PropertyListEncoding, WritesXMLAndBinaryBodies) {
    const ParameterDictionary parameters{{"a", 1}};
    auto xml = PropertyListEncoding::xmlEncoding().encodeParameters(requestFor("https://h.test/p", "POST"),
                                                                    parameters);
    EXPECT_EQ(xml.value("Content-Type"), "application/x-plist");
    EXPECT_NE(bodyText(xml).find("<key>a</key>"), std::string::npos);
    EXPECT_NE(bodyText(xml).find("<integer>1</integer>"), std::string::npos);

    auto binary = PropertyListEncoding::binaryEncoding().encodeParameters(
        requestFor("https://h.test/p", "POST"), parameters);
    EXPECT_EQ(bodyText(binary).substr(0, 8), "bplist00");
    EXPECT_EQ(PropertyListEncoding::defaultEncoding().format(), PropertyListEncoding::Format::XML);
}

TEST(PropertyListEncoding, WriterFailureThrowsPropertyListEncodingFailed) {
    try {
        PropertyListEncoding().encodeParameters(requestFor("https://h.test/p", "POST"),
                                                ParameterDictionary{{"null", nullptr}});
        FAIL() << "expected propertyListEncodingFailed";
    } catch (const ZVError& e) {
        ASSERT_NE(e.parameterEncodingReason(), nullptr);
        EXPECT_EQ(e.parameterEncodingReason()->kase(),
                  ZVError::ParameterEncodingFailureReason::Case::propertyListEncodingFailed);
        EXPECT_NE(e.wrappedError(), nullptr);
    }
}

} // namespace
} // namespace Zavorida
