#pragma once
// Every failure the HTTP client detects itself: the stage that failed (URL conversion, parameter encoding,
// multipart body, response validation, response serialization) and, below it, the exact reason with the
// data that explains it. Platform errors are not translated; reasons wrap them and share them between copies.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Zavorida/Source/AnyError.hpp"
#include "Zavorida/Source/URLConvertible.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/StringEncoding.hpp"
#include "platform/net/URL.hpp"

namespace Zavorida {

using SharedPlatformError = std::shared_ptr<const plat::Error>;

class ZVError final : public ErrorConformance<ZVError> {
public:
    class ParameterEncodingFailureReason {
    public:
        enum class Case { missingURL, jsonEncodingFailed, propertyListEncodingFailed };
        static ParameterEncodingFailureReason missingURL() { return {Case::missingURL, nullptr}; }
        static ParameterEncodingFailureReason jsonEncodingFailed(plat::Error error);
        static ParameterEncodingFailureReason propertyListEncodingFailed(plat::Error error);

        Case kase() const { return case_; }
        const SharedPlatformError& error() const { return error_; }
        std::string failureText() const;

    private:
        ParameterEncodingFailureReason(Case c, SharedPlatformError e) : case_(c), error_(std::move(e)) {}
        Case case_;
        SharedPlatformError error_;
    };

    class MultipartEncodingFailureReason {
    public:
        enum class Case {
            bodyPartURLInvalid,
            bodyPartFilenameInvalid,
            bodyPartFileNotReachable,
            bodyPartFileNotReachableWithError,
            bodyPartFileIsDirectory,
            bodyPartFileSizeNotAvailable,
            bodyPartFileSizeQueryFailedWithError,
            bodyPartInputStreamCreationFailed,
            outputStreamCreationFailed,
            outputStreamFileAlreadyExists,
            outputStreamURLInvalid,
            outputStreamWriteFailed,
            inputStreamReadFailed,
            // A part header whose name or value holds CR, LF or NUL, which would end the header block early.
            bodyPartHeaderInvalid,
        };
        static MultipartEncodingFailureReason bodyPartURLInvalid(plat::URL url);
        static MultipartEncodingFailureReason bodyPartFilenameInvalid(plat::URL in);
        static MultipartEncodingFailureReason bodyPartFileNotReachable(plat::URL at);
        static MultipartEncodingFailureReason bodyPartFileNotReachableWithError(plat::URL atURL,
                                                                                plat::Error error);
        static MultipartEncodingFailureReason bodyPartFileIsDirectory(plat::URL at);
        static MultipartEncodingFailureReason bodyPartFileSizeNotAvailable(plat::URL at);
        static MultipartEncodingFailureReason bodyPartFileSizeQueryFailedWithError(plat::URL forURL,
                                                                                   plat::Error error);
        static MultipartEncodingFailureReason bodyPartInputStreamCreationFailed(plat::URL for_);
        static MultipartEncodingFailureReason outputStreamCreationFailed(plat::URL for_);
        static MultipartEncodingFailureReason outputStreamFileAlreadyExists(plat::URL at);
        static MultipartEncodingFailureReason outputStreamURLInvalid(plat::URL url);
        static MultipartEncodingFailureReason outputStreamWriteFailed(plat::Error error);
        static MultipartEncodingFailureReason inputStreamReadFailed(plat::Error error);
        static MultipartEncodingFailureReason bodyPartHeaderInvalid(std::string name);

        Case kase() const { return case_; }
        // The URL of every reason but the two stream-failure ones and the header one.
        const std::optional<plat::URL>& failingFileURL() const { return url_; }
        const SharedPlatformError& error() const { return error_; }
        // The header name of bodyPartHeaderInvalid.
        const std::string& headerName() const { return headerName_; }
        std::string failureText() const;

    private:
        MultipartEncodingFailureReason(Case c, std::optional<plat::URL> url, SharedPlatformError e)
            : case_(c), url_(std::move(url)), error_(std::move(e)) {}
        Case case_;
        std::optional<plat::URL> url_;
        SharedPlatformError error_;
        std::string headerName_;
    };

    class ResponseValidationFailureReason {
    public:
        enum class Case {
            dataFileNil,
            dataFileReadFailed,
            missingContentType,
            unacceptableContentType,
            unacceptableStatusCode
        };
        static ResponseValidationFailureReason dataFileNil();
        static ResponseValidationFailureReason dataFileReadFailed(plat::URL at);
        static ResponseValidationFailureReason
        missingContentType(std::vector<std::string> acceptableContentTypes);
        static ResponseValidationFailureReason
        unacceptableContentType(std::vector<std::string> acceptableContentTypes,
                                std::string responseContentType);
        static ResponseValidationFailureReason unacceptableStatusCode(std::int64_t code);

        Case kase() const { return case_; }
        const std::optional<plat::URL>& url() const { return url_; }
        const std::optional<std::vector<std::string>>& acceptableContentTypes() const { return acceptable_; }
        const std::optional<std::string>& responseContentType() const { return responseContentType_; }
        std::optional<std::int64_t> responseStatusCode() const { return code_; }
        std::string failureText() const;

    private:
        explicit ResponseValidationFailureReason(Case c) : case_(c) {}
        Case case_;
        std::optional<plat::URL> url_;
        std::optional<std::vector<std::string>> acceptable_;
        std::optional<std::string> responseContentType_;
        std::optional<std::int64_t> code_;
    };

    class ResponseSerializationFailureReason {
    public:
        enum class Case {
            inputDataNil,
            inputDataNilOrZeroLength,
            inputFileNil,
            inputFileReadFailed,
            stringSerializationFailed,
            jsonSerializationFailed,
            propertyListSerializationFailed
        };
        static ResponseSerializationFailureReason inputDataNil() {
            return ResponseSerializationFailureReason(Case::inputDataNil);
        }
        static ResponseSerializationFailureReason inputDataNilOrZeroLength() {
            return ResponseSerializationFailureReason(Case::inputDataNilOrZeroLength);
        }
        static ResponseSerializationFailureReason inputFileNil() {
            return ResponseSerializationFailureReason(Case::inputFileNil);
        }
        static ResponseSerializationFailureReason inputFileReadFailed(plat::URL at);
        static ResponseSerializationFailureReason stringSerializationFailed(plat::StringEncoding encoding);
        static ResponseSerializationFailureReason jsonSerializationFailed(plat::Error error);
        static ResponseSerializationFailureReason propertyListSerializationFailed(plat::Error error);

        Case kase() const { return case_; }
        const std::optional<plat::URL>& url() const { return url_; }
        std::optional<plat::StringEncoding> stringEncoding() const { return encoding_; }
        const SharedPlatformError& error() const { return error_; }
        std::string failureText() const;

    private:
        explicit ResponseSerializationFailureReason(Case c) : case_(c) {}
        Case case_;
        std::optional<plat::URL> url_;
        std::optional<plat::StringEncoding> encoding_;
        SharedPlatformError error_;
    };

    enum class Case {
        invalidURL,
        parameterEncodingFailed,
        multipartEncodingFailed,
        responseValidationFailed,
        responseSerializationFailed
    };

    static ZVError invalidURL(URLConvertible url);
    static ZVError parameterEncodingFailed(ParameterEncodingFailureReason reason);
    static ZVError multipartEncodingFailed(MultipartEncodingFailureReason reason);
    static ZVError responseValidationFailed(ResponseValidationFailureReason reason);
    static ZVError responseSerializationFailed(ResponseSerializationFailureReason reason);

    Case kase() const { return static_cast<Case>(payload_.index()); }

    bool isInvalidURL() const { return kase() == Case::invalidURL; }
    bool isParameterEncodingFailure() const { return kase() == Case::parameterEncodingFailed; }
    bool isMultipartEncodingFailure() const { return kase() == Case::multipartEncodingFailed; }
    bool isResponseValidationFailure() const { return kase() == Case::responseValidationFailed; }
    bool isResponseSerializationFailure() const { return kase() == Case::responseSerializationFailed; }

    // The reason of the case, when this is that case.
    const ParameterEncodingFailureReason* parameterEncodingReason() const {
        return std::get_if<1>(&payload_);
    }
    const MultipartEncodingFailureReason* multipartEncodingReason() const {
        return std::get_if<2>(&payload_);
    }
    const ResponseValidationFailureReason* responseValidationReason() const {
        return std::get_if<3>(&payload_);
    }
    const ResponseSerializationFailureReason* responseSerializationReason() const {
        return std::get_if<4>(&payload_);
    }

    std::optional<URLConvertible> invalidURLValue() const;
    std::optional<plat::URL> failingFileURL() const;
    SharedPlatformError wrappedError() const;
    std::optional<std::vector<std::string>> acceptableContentTypes() const;
    std::optional<std::string> responseContentType() const;
    std::optional<std::int64_t> responseStatusCode() const;
    std::optional<plat::StringEncoding> stringEncoding() const;

    // The human-readable text of the case and reason; always present.
    std::string errorDescription() const;
    // As the platform bridges the value: domain "Zavorida.ZVError", the case's ordinal as code, and
    // errorDescription as localized description.
    plat::Error bridgedError() const;

    std::string description() const override;
    std::string localizedDescription() const override { return errorDescription(); }

private:
    using Payload =
        std::variant<URLConvertible, ParameterEncodingFailureReason, MultipartEncodingFailureReason,
                     ResponseValidationFailureReason, ResponseSerializationFailureReason>;
    template <std::size_t I, class T>
    ZVError(std::in_place_index_t<I> tag, T&& value) : payload_(tag, std::forward<T>(value)) {}
    Payload payload_;
};

// Marks an error a request adapter threw, so that only adapter failures are offered to the retrier.
class AdaptError final : public ErrorConformance<AdaptError> {
public:
    explicit AdaptError(AnyError error) : error_(std::move(error)) {}
    const AnyError& error() const { return error_; }

    // The adapter's own error when `error` is an AdaptError; none for any other error.
    static std::optional<AnyError> fromError(const AnyError& error);

    std::string description() const override;
    std::string localizedDescription() const override { return error_.localizedDescription(); }

private:
    AnyError error_;
};

} // namespace Zavorida
