#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Zavorida/Source/ZVError.hpp"

namespace Zavorida {
namespace {

using PER = ZVError::ParameterEncodingFailureReason;
using MER = ZVError::MultipartEncodingFailureReason;
using RVR = ZVError::ResponseValidationFailureReason;
using RSR = ZVError::ResponseSerializationFailureReason;

plat::URL fileURL() {
    return plat::URL::file("/tmp/up/file.txt");
}
plat::Error platformError() {
    return plat::Error("NSCocoaErrorDomain", 260, {{"NSLocalizedDescription", "gone"}});
}

struct TextCase {
    const char* name;
    std::function<ZVError()> make;
    std::string text;
};

// Test names show the case's name, not the struct's bytes.
void PrintTo(const TextCase& c, std::ostream* os) {
    *os << c.name;
}

class ZVErrorText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ZVErrorText, DescribesEveryCaseAndReasonExactly) {
    const TextCase& c = GetParam();
    ZVError error = c.make();
    EXPECT_EQ(error.errorDescription(), c.text);
    EXPECT_EQ(error.localizedDescription(), c.text);
}

const std::string kURL = "file:///tmp/up/file.txt";
const std::string kFull = platformError().description();

INSTANTIATE_TEST_SUITE_P(
    AllReasons, ZVErrorText,
    ::testing::Values(
        TextCase{"invalidURLString", [] { return ZVError::invalidURL("not a url"); },
                 "URL is not valid: not a url"},
        TextCase{"invalidURLValue", [] { return ZVError::invalidURL(*plat::URL::parse("https://x.test/a")); },
                 "URL is not valid: https://x.test/a"},
        TextCase{"missingURL", [] { return ZVError::parameterEncodingFailed(PER::missingURL()); },
                 "URL request to encode was missing a URL"},
        TextCase{"jsonEncodingFailed",
                 [] { return ZVError::parameterEncodingFailed(PER::jsonEncodingFailed(platformError())); },
                 "JSON could not be encoded because of error:\ngone"},
        TextCase{
            "propertyListEncodingFailed",
            [] { return ZVError::parameterEncodingFailed(PER::propertyListEncodingFailed(platformError())); },
            "PropertyList could not be encoded because of error:\ngone"},
        TextCase{"bodyPartURLInvalid",
                 [] { return ZVError::multipartEncodingFailed(MER::bodyPartURLInvalid(fileURL())); },
                 "The URL provided is not a file URL: " + kURL},
        TextCase{"bodyPartFilenameInvalid",
                 [] { return ZVError::multipartEncodingFailed(MER::bodyPartFilenameInvalid(fileURL())); },
                 "The URL provided does not have a valid filename: " + kURL},
        TextCase{"bodyPartFileNotReachable",
                 [] { return ZVError::multipartEncodingFailed(MER::bodyPartFileNotReachable(fileURL())); },
                 "The URL provided is not reachable: " + kURL},
        TextCase{"bodyPartFileNotReachableWithError",
                 [] {
                     return ZVError::multipartEncodingFailed(
                         MER::bodyPartFileNotReachableWithError(fileURL(), platformError()));
                 },
                 "The system returned an error while checking the provided URL for reachability.\nURL: " +
                     kURL + "\nError: " + kFull},
        TextCase{"bodyPartFileIsDirectory",
                 [] { return ZVError::multipartEncodingFailed(MER::bodyPartFileIsDirectory(fileURL())); },
                 "The URL provided is a directory: " + kURL},
        TextCase{
            "bodyPartFileSizeNotAvailable",
            [] { return ZVError::multipartEncodingFailed(MER::bodyPartFileSizeNotAvailable(fileURL())); },
            "Could not fetch the file size from the provided URL: " + kURL},
        TextCase{"bodyPartFileSizeQueryFailedWithError",
                 [] {
                     return ZVError::multipartEncodingFailed(
                         MER::bodyPartFileSizeQueryFailedWithError(fileURL(), platformError()));
                 },
                 "The system returned an error while attempting to fetch the file size from the provided "
                 "URL.\nURL: " +
                     kURL + "\nError: " + kFull},
        TextCase{"bodyPartInputStreamCreationFailed",
                 [] {
                     return ZVError::multipartEncodingFailed(
                         MER::bodyPartInputStreamCreationFailed(fileURL()));
                 },
                 "Failed to create an InputStream for the provided URL: " + kURL},
        TextCase{"outputStreamCreationFailed",
                 [] { return ZVError::multipartEncodingFailed(MER::outputStreamCreationFailed(fileURL())); },
                 "Failed to create an OutputStream for URL: " + kURL},
        TextCase{
            "outputStreamFileAlreadyExists",
            [] { return ZVError::multipartEncodingFailed(MER::outputStreamFileAlreadyExists(fileURL())); },
            "A file already exists at the provided URL: " + kURL},
        TextCase{"outputStreamURLInvalid",
                 [] { return ZVError::multipartEncodingFailed(MER::outputStreamURLInvalid(fileURL())); },
                 "The provided OutputStream URL is invalid: " + kURL},
        TextCase{
            "outputStreamWriteFailed",
            [] { return ZVError::multipartEncodingFailed(MER::outputStreamWriteFailed(platformError())); },
            "OutputStream write failed with error: " + kFull},
        TextCase{"inputStreamReadFailed",
                 [] { return ZVError::multipartEncodingFailed(MER::inputStreamReadFailed(platformError())); },
                 "InputStream read failed with error: " + kFull},
        TextCase{"dataFileNil", [] { return ZVError::responseValidationFailed(RVR::dataFileNil()); },
                 "Response could not be validated, data file was nil."},
        TextCase{"dataFileReadFailed",
                 [] { return ZVError::responseValidationFailed(RVR::dataFileReadFailed(fileURL())); },
                 "Response could not be validated, data file could not be read: " + kURL + "."},
        TextCase{"missingContentTypeEmpty",
                 [] { return ZVError::responseValidationFailed(RVR::missingContentType({})); },
                 "Response Content-Type was missing and acceptable content types () do not match \"*/*\"."},
        TextCase{
            "missingContentTypeTwo",
            [] {
                return ZVError::responseValidationFailed(
                    RVR::missingContentType({"application/json", "text/plain"}));
            },
            "Response Content-Type was missing and acceptable content types (application/json,text/plain) do "
            "not match \"*/*\"."},
        TextCase{"unacceptableContentType",
                 [] {
                     return ZVError::responseValidationFailed(
                         RVR::unacceptableContentType({"a/b", "c/d"}, "text/html"));
                 },
                 "Response Content-Type \"text/html\" does not match any acceptable types: a/b,c/d."},
        TextCase{"unacceptableStatusCode",
                 [] { return ZVError::responseValidationFailed(RVR::unacceptableStatusCode(404)); },
                 "Response status code was unacceptable: 404."},
        TextCase{"inputDataNil", [] { return ZVError::responseSerializationFailed(RSR::inputDataNil()); },
                 "Response could not be serialized, input data was nil."},
        TextCase{"inputDataNilOrZeroLength",
                 [] { return ZVError::responseSerializationFailed(RSR::inputDataNilOrZeroLength()); },
                 "Response could not be serialized, input data was nil or zero length."},
        TextCase{"inputFileNil", [] { return ZVError::responseSerializationFailed(RSR::inputFileNil()); },
                 "Response could not be serialized, input file was nil."},
        TextCase{"inputFileReadFailed",
                 [] { return ZVError::responseSerializationFailed(RSR::inputFileReadFailed(fileURL())); },
                 "Response could not be serialized, input file could not be read: " + kURL + "."},
        TextCase{"stringSerializationFailed",
                 [] {
                     return ZVError::responseSerializationFailed(
                         RSR::stringSerializationFailed(plat::UTF8StringEncoding));
                 },
                 "String could not be serialized with encoding: " +
                     plat::Encoding::localizedName(plat::UTF8StringEncoding) + "."},
        TextCase{"jsonSerializationFailed",
                 [] {
                     return ZVError::responseSerializationFailed(
                         RSR::jsonSerializationFailed(platformError()));
                 },
                 "JSON could not be serialized because of error:\ngone"},
        TextCase{"propertyListSerializationFailed",
                 [] {
                     return ZVError::responseSerializationFailed(
                         RSR::propertyListSerializationFailed(platformError()));
                 },
                 "PropertyList could not be serialized because of error:\ngone"}));

TEST(ZVError, CaseTestsAreTrueOnlyForTheirCase) {
    std::vector<ZVError> errors = {ZVError::invalidURL("x y"),
                                   ZVError::parameterEncodingFailed(PER::missingURL()),
                                   ZVError::multipartEncodingFailed(MER::bodyPartURLInvalid(fileURL())),
                                   ZVError::responseValidationFailed(RVR::dataFileNil()),
                                   ZVError::responseSerializationFailed(RSR::inputDataNil())};
    for (std::size_t i = 0; i < errors.size(); ++i) {
        const ZVError& e = errors[i];
        EXPECT_EQ(e.isInvalidURL(), i == 0);
        EXPECT_EQ(e.isParameterEncodingFailure(), i == 1);
        EXPECT_EQ(e.isMultipartEncodingFailure(), i == 2);
        EXPECT_EQ(e.isResponseValidationFailure(), i == 3);
        EXPECT_EQ(e.isResponseSerializationFailure(), i == 4);
    }
}

TEST(ZVError, AccessorsArePresentOnlyForTheirReasons) {
    const ZVError invalid = ZVError::invalidURL("bad url");
    ASSERT_TRUE(invalid.invalidURLValue().has_value());
    EXPECT_EQ(*invalid.invalidURLValue()->stringValue(), "bad url");
    EXPECT_FALSE(invalid.failingFileURL().has_value());
    EXPECT_EQ(invalid.wrappedError(), nullptr);

    EXPECT_EQ(ZVError::parameterEncodingFailed(PER::missingURL()).wrappedError(), nullptr);
    const ZVError json = ZVError::parameterEncodingFailed(PER::jsonEncodingFailed(platformError()));
    ASSERT_NE(json.wrappedError(), nullptr);
    EXPECT_EQ(*json.wrappedError(), platformError());
    EXPECT_FALSE(json.invalidURLValue().has_value());

    // Of the multipart reasons, the two stream failures carry no URL; the two-field ones give their URL.
    EXPECT_FALSE(ZVError::multipartEncodingFailed(MER::outputStreamWriteFailed(platformError()))
                     .failingFileURL()
                     .has_value());
    EXPECT_FALSE(ZVError::multipartEncodingFailed(MER::inputStreamReadFailed(platformError()))
                     .failingFileURL()
                     .has_value());
    const ZVError sizeQuery = ZVError::multipartEncodingFailed(
        MER::bodyPartFileSizeQueryFailedWithError(fileURL(), platformError()));
    EXPECT_EQ(sizeQuery.failingFileURL(), fileURL());
    EXPECT_NE(sizeQuery.wrappedError(), nullptr);
    EXPECT_EQ(ZVError::multipartEncodingFailed(MER::bodyPartFileIsDirectory(fileURL())).wrappedError(),
              nullptr);
    EXPECT_FALSE(ZVError::responseSerializationFailed(RSR::inputFileReadFailed(fileURL()))
                     .failingFileURL()
                     .has_value());
    EXPECT_FALSE(
        ZVError::responseValidationFailed(RVR::dataFileReadFailed(fileURL())).failingFileURL().has_value());

    const ZVError contentType =
        ZVError::responseValidationFailed(RVR::unacceptableContentType({"a/b"}, "text/html"));
    EXPECT_EQ(contentType.acceptableContentTypes(), std::vector<std::string>{"a/b"});
    EXPECT_EQ(contentType.responseContentType(), "text/html");
    EXPECT_FALSE(contentType.responseStatusCode().has_value());
    const ZVError missing = ZVError::responseValidationFailed(RVR::missingContentType({"x/y"}));
    EXPECT_EQ(missing.acceptableContentTypes(), std::vector<std::string>{"x/y"});
    EXPECT_FALSE(missing.responseContentType().has_value());
    EXPECT_EQ(ZVError::responseValidationFailed(RVR::unacceptableStatusCode(503)).responseStatusCode(), 503);

    const ZVError string =
        ZVError::responseSerializationFailed(RSR::stringSerializationFailed(plat::ISOLatin1StringEncoding));
    EXPECT_EQ(string.stringEncoding(), plat::ISOLatin1StringEncoding);
    EXPECT_FALSE(ZVError::responseSerializationFailed(RSR::inputDataNil()).stringEncoding().has_value());
    EXPECT_NE(
        ZVError::responseSerializationFailed(RSR::jsonSerializationFailed(platformError())).wrappedError(),
        nullptr);
}

TEST(ZVError, CopiesShareTheWrappedPlatformError) {
    const ZVError original = ZVError::parameterEncodingFailed(PER::jsonEncodingFailed(platformError()));
    const ZVError copy = original; // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(original.wrappedError().get(), copy.wrappedError().get());
}

TEST(ZVError, ThrowsAndCatchesByType) {
    try {
        ZVError::responseValidationFailed(RVR::unacceptableStatusCode(418)).raise();
    } catch (const ZVError& e) {
        EXPECT_EQ(e.responseStatusCode(), 418);
    }
    const AnyError any = ZVError::invalidURL("x y");
    ASSERT_NE(any.as<ZVError>(), nullptr);
    EXPECT_EQ(any.localizedDescription(), "URL is not valid: x y");
    EXPECT_EQ(any.description(), "invalidURL(url: \"x y\")");
}

TEST(ZVError, BridgesWithItsDescriptionAsLocalizedText) {
    const plat::Error bridged =
        ZVError::responseValidationFailed(RVR::unacceptableStatusCode(404)).bridgedError();
    EXPECT_EQ(bridged.domain, "Zavorida.ZVError");
    EXPECT_EQ(bridged.code, 3);
    EXPECT_EQ(bridged.localizedDescription(), "Response status code was unacceptable: 404.");
}

struct AdapterFailure : ErrorConformance<AdapterFailure> {
    std::string description() const override { return "AdapterFailure"; }
    std::string localizedDescription() const override { return "adapter failed"; }
};

TEST(AdaptError, FromErrorUnwrapsOnlyAdaptErrors) {
    const AnyError inner = AdapterFailure();
    const auto unwrapped = AdaptError::fromError(AdaptError(inner));
    ASSERT_TRUE(unwrapped.has_value());
    EXPECT_TRUE(unwrapped->isSameObject(inner));
    EXPECT_FALSE(AdaptError::fromError(inner).has_value());
    EXPECT_FALSE(AdaptError::fromError(ZVError::invalidURL("x y")).has_value());
    EXPECT_FALSE(AdaptError::fromError(plat::Error("D", 1)).has_value());
}

} // namespace
} // namespace Zavorida
