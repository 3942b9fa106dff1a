#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Zavorida/Source/AFError.hpp"

namespace Zavorida {
namespace {

using PER = AFError::ParameterEncodingFailureReason;
using MER = AFError::MultipartEncodingFailureReason;
using RVR = AFError::ResponseValidationFailureReason;
using RSR = AFError::ResponseSerializationFailureReason;

plat::URL fileURL() {
    return plat::URL::file("/tmp/up/file.txt");
}
plat::Error platformError() {
    return plat::Error("NSCocoaErrorDomain", 260, {{"NSLocalizedDescription", "gone"}});
}

struct TextCase {
    const char* name;
    std::function<AFError()> make;
    std::string text;
};

class AFErrorText : public ::testing::TestWithParam<TextCase> {};

TEST_P(AFErrorText, DescribesEveryCaseAndReasonExactly) {
    const TextCase& c = GetParam();
    AFError error = c.make();
    EXPECT_EQ(error.errorDescription(), c.text);
    EXPECT_EQ(error.localizedDescription(), c.text);
}

const std::string kURL = "file:///tmp/up/file.txt";
const std::string kFull = platformError().description();

INSTANTIATE_TEST_SUITE_P(
    AllReasons, AFErrorText,
    ::testing::Values(
        TextCase{"invalidURLString", [] { return AFError::invalidURL("not a url"); },
                 "URL is not valid: not a url"},
        TextCase{"invalidURLValue", [] { return AFError::invalidURL(*plat::URL::parse("https://x.test/a")); },
                 "URL is not valid: https://x.test/a"},
        TextCase{"missingURL", [] { return AFError::parameterEncodingFailed(PER::missingURL()); },
                 "URL request to encode was missing a URL"},
        TextCase{"jsonEncodingFailed",
                 [] { return AFError::parameterEncodingFailed(PER::jsonEncodingFailed(platformError())); },
                 "JSON could not be encoded because of error:\ngone"},
        TextCase{
            "propertyListEncodingFailed",
            [] { return AFError::parameterEncodingFailed(PER::propertyListEncodingFailed(platformError())); },
            "PropertyList could not be encoded because of error:\ngone"},
        TextCase{"bodyPartURLInvalid",
                 [] { return AFError::multipartEncodingFailed(MER::bodyPartURLInvalid(fileURL())); },
                 "The URL provided is not a file URL: " + kURL},
        TextCase{"bodyPartFilenameInvalid",
                 [] { return AFError::multipartEncodingFailed(MER::bodyPartFilenameInvalid(fileURL())); },
                 "The URL provided does not have a valid filename: " + kURL},
        TextCase{"bodyPartFileNotReachable",
                 [] { return AFError::multipartEncodingFailed(MER::bodyPartFileNotReachable(fileURL())); },
                 "The URL provided is not reachable: " + kURL},
        TextCase{"bodyPartFileNotReachableWithError",
                 [] {
                     return AFError::multipartEncodingFailed(
                         MER::bodyPartFileNotReachableWithError(fileURL(), platformError()));
                 },
                 "The system returned an error while checking the provided URL for reachability.\nURL: " +
                     kURL + "\nError: " + kFull},
        TextCase{"bodyPartFileIsDirectory",
                 [] { return AFError::multipartEncodingFailed(MER::bodyPartFileIsDirectory(fileURL())); },
                 "The URL provided is a directory: " + kURL},
        TextCase{
            "bodyPartFileSizeNotAvailable",
            [] { return AFError::multipartEncodingFailed(MER::bodyPartFileSizeNotAvailable(fileURL())); },
            "Could not fetch the file size from the provided URL: " + kURL},
        TextCase{"bodyPartFileSizeQueryFailedWithError",
                 [] {
                     return AFError::multipartEncodingFailed(
                         MER::bodyPartFileSizeQueryFailedWithError(fileURL(), platformError()));
                 },
                 "The system returned an error while attempting to fetch the file size from the provided "
                 "URL.\nURL: " +
                     kURL + "\nError: " + kFull},
        TextCase{"bodyPartInputStreamCreationFailed",
                 [] {
                     return AFError::multipartEncodingFailed(
                         MER::bodyPartInputStreamCreationFailed(fileURL()));
                 },
                 "Failed to create an InputStream for the provided URL: " + kURL},
        TextCase{"outputStreamCreationFailed",
                 [] { return AFError::multipartEncodingFailed(MER::outputStreamCreationFailed(fileURL())); },
                 "Failed to create an OutputStream for URL: " + kURL},
        TextCase{
            "outputStreamFileAlreadyExists",
            [] { return AFError::multipartEncodingFailed(MER::outputStreamFileAlreadyExists(fileURL())); },
            "A file already exists at the provided URL: " + kURL},
        TextCase{"outputStreamURLInvalid",
                 [] { return AFError::multipartEncodingFailed(MER::outputStreamURLInvalid(fileURL())); },
                 "The provided OutputStream URL is invalid: " + kURL},
        TextCase{
            "outputStreamWriteFailed",
            [] { return AFError::multipartEncodingFailed(MER::outputStreamWriteFailed(platformError())); },
            "OutputStream write failed with error: " + kFull},
        TextCase{"inputStreamReadFailed",
                 [] { return AFError::multipartEncodingFailed(MER::inputStreamReadFailed(platformError())); },
                 "InputStream read failed with error: " + kFull},
        TextCase{"dataFileNil", [] { return AFError::responseValidationFailed(RVR::dataFileNil()); },
                 "Response could not be validated, data file was nil."},
        TextCase{"dataFileReadFailed",
                 [] { return AFError::responseValidationFailed(RVR::dataFileReadFailed(fileURL())); },
                 "Response could not be validated, data file could not be read: " + kURL + "."},
        TextCase{"missingContentTypeEmpty",
                 [] { return AFError::responseValidationFailed(RVR::missingContentType({})); },
                 "Response Content-Type was missing and acceptable content types () do not match \"*/*\"."},
        TextCase{
            "missingContentTypeTwo",
            [] {
                return AFError::responseValidationFailed(
                    RVR::missingContentType({"application/json", "text/plain"}));
            },
            "Response Content-Type was missing and acceptable content types (application/json,text/plain) do "
            "not match \"*/*\"."},
        TextCase{"unacceptableContentType",
                 [] {
                     return AFError::responseValidationFailed(
                         RVR::unacceptableContentType({"a/b", "c/d"}, "text/html"));
                 },
                 "Response Content-Type \"text/html\" does not match any acceptable types: a/b,c/d."},
        TextCase{"unacceptableStatusCode",
                 [] { return AFError::responseValidationFailed(RVR::unacceptableStatusCode(404)); },
                 "Response status code was unacceptable: 404."},
        TextCase{"inputDataNil", [] { return AFError::responseSerializationFailed(RSR::inputDataNil()); },
                 "Response could not be serialized, input data was nil."},
        TextCase{"inputDataNilOrZeroLength",
                 [] { return AFError::responseSerializationFailed(RSR::inputDataNilOrZeroLength()); },
                 "Response could not be serialized, input data was nil or zero length."},
        TextCase{"inputFileNil", [] { return AFError::responseSerializationFailed(RSR::inputFileNil()); },
                 "Response could not be serialized, input file was nil."},
        TextCase{"inputFileReadFailed",
                 [] { return AFError::responseSerializationFailed(RSR::inputFileReadFailed(fileURL())); },
                 "Response could not be serialized, input file could not be read: " + kURL + "."},
        TextCase{"stringSerializationFailed",
                 [] {
                     return AFError::responseSerializationFailed(
                         RSR::stringSerializationFailed(plat::UTF8StringEncoding));
                 },
                 "String could not be serialized with encoding: " +
                     plat::Encoding::localizedName(plat::UTF8StringEncoding) + "."},
        TextCase{"jsonSerializationFailed",
                 [] {
                     return AFError::responseSerializationFailed(
                         RSR::jsonSerializationFailed(platformError()));
                 },
                 "JSON could not be serialized because of error:\ngone"},
        TextCase{"propertyListSerializationFailed",
                 [] {
                     return AFError::responseSerializationFailed(
                         RSR::propertyListSerializationFailed(platformError()));
                 },
                 "PropertyList could not be serialized because of error:\ngone"}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return info.param.name; });

TEST(AFError, CaseTestsAreTrueOnlyForTheirCase) {
    std::vector<AFError> errors = {AFError::invalidURL("x y"),
                                   AFError::parameterEncodingFailed(PER::missingURL()),
                                   AFError::multipartEncodingFailed(MER::bodyPartURLInvalid(fileURL())),
                                   AFError::responseValidationFailed(RVR::dataFileNil()),
                                   AFError::responseSerializationFailed(RSR::inputDataNil())};
    for (std::size_t i = 0; i < errors.size(); ++i) {
        const AFError& e = errors[i];
        EXPECT_EQ(e.isInvalidURL(), i == 0);
        EXPECT_EQ(e.isParameterEncodingFailure(), i == 1);
        EXPECT_EQ(e.isMultipartEncodingFailure(), i == 2);
        EXPECT_EQ(e.isResponseValidationFailure(), i == 3);
        EXPECT_EQ(e.isResponseSerializationFailure(), i == 4);
    }
}

TEST(AFError, AccessorsArePresentOnlyForTheirReasons) {
    const AFError invalid = AFError::invalidURL("bad url");
    ASSERT_TRUE(invalid.invalidURLValue().has_value());
    EXPECT_EQ(*invalid.invalidURLValue()->stringValue(), "bad url");
    EXPECT_FALSE(invalid.failingFileURL().has_value());
    EXPECT_EQ(invalid.wrappedError(), nullptr);

    EXPECT_EQ(AFError::parameterEncodingFailed(PER::missingURL()).wrappedError(), nullptr);
    const AFError json = AFError::parameterEncodingFailed(PER::jsonEncodingFailed(platformError()));
    ASSERT_NE(json.wrappedError(), nullptr);
    EXPECT_EQ(*json.wrappedError(), platformError());
    EXPECT_FALSE(json.invalidURLValue().has_value());

    // Of the multipart reasons, the two stream failures carry no URL; the two-field ones give their URL.
    EXPECT_FALSE(AFError::multipartEncodingFailed(MER::outputStreamWriteFailed(platformError()))
                     .failingFileURL()
                     .has_value());
    EXPECT_FALSE(AFError::multipartEncodingFailed(MER::inputStreamReadFailed(platformError()))
                     .failingFileURL()
                     .has_value());
    const AFError sizeQuery = AFError::multipartEncodingFailed(
        MER::bodyPartFileSizeQueryFailedWithError(fileURL(), platformError()));
    EXPECT_EQ(sizeQuery.failingFileURL(), fileURL());
    EXPECT_NE(sizeQuery.wrappedError(), nullptr);
    EXPECT_EQ(AFError::multipartEncodingFailed(MER::bodyPartFileIsDirectory(fileURL())).wrappedError(),
              nullptr);
    EXPECT_FALSE(AFError::responseSerializationFailed(RSR::inputFileReadFailed(fileURL()))
                     .failingFileURL()
                     .has_value());
    EXPECT_FALSE(
        AFError::responseValidationFailed(RVR::dataFileReadFailed(fileURL())).failingFileURL().has_value());

    const AFError contentType =
        AFError::responseValidationFailed(RVR::unacceptableContentType({"a/b"}, "text/html"));
    EXPECT_EQ(contentType.acceptableContentTypes(), std::vector<std::string>{"a/b"});
    EXPECT_EQ(contentType.responseContentType(), "text/html");
    EXPECT_FALSE(contentType.responseStatusCode().has_value());
    const AFError missing = AFError::responseValidationFailed(RVR::missingContentType({"x/y"}));
    EXPECT_EQ(missing.acceptableContentTypes(), std::vector<std::string>{"x/y"});
    EXPECT_FALSE(missing.responseContentType().has_value());
    EXPECT_EQ(AFError::responseValidationFailed(RVR::unacceptableStatusCode(503)).responseStatusCode(), 503);

    const AFError string =
        AFError::responseSerializationFailed(RSR::stringSerializationFailed(plat::ISOLatin1StringEncoding));
    EXPECT_EQ(string.stringEncoding(), plat::ISOLatin1StringEncoding);
    EXPECT_FALSE(AFError::responseSerializationFailed(RSR::inputDataNil()).stringEncoding().has_value());
    EXPECT_NE(
        AFError::responseSerializationFailed(RSR::jsonSerializationFailed(platformError())).wrappedError(),
        nullptr);
}

TEST(AFError, CopiesShareTheWrappedPlatformError) {
    const AFError original = AFError::parameterEncodingFailed(PER::jsonEncodingFailed(platformError()));
    const AFError copy = original; // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(original.wrappedError().get(), copy.wrappedError().get());
}

TEST(AFError, ThrowsAndCatchesByType) {
    try {
        AFError::responseValidationFailed(RVR::unacceptableStatusCode(418)).raise();
    } catch (const AFError& e) {
        EXPECT_EQ(e.responseStatusCode(), 418);
    }
    const AnyError any = AFError::invalidURL("x y");
    ASSERT_NE(any.as<AFError>(), nullptr);
    EXPECT_EQ(any.localizedDescription(), "URL is not valid: x y");
    EXPECT_EQ(any.description(), "invalidURL(url: \"x y\")");
}

TEST(AFError, BridgesWithItsDescriptionAsLocalizedText) {
    const plat::Error bridged =
        AFError::responseValidationFailed(RVR::unacceptableStatusCode(404)).bridgedError();
    EXPECT_EQ(bridged.domain, "Zavorida.AFError");
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
    EXPECT_FALSE(AdaptError::fromError(AFError::invalidURL("x y")).has_value());
    EXPECT_FALSE(AdaptError::fromError(plat::Error("D", 1)).has_value());
}

} // namespace
} // namespace Zavorida
