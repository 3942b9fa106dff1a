#include "Zavorida/Source/ZVError.hpp"

namespace Zavorida {

namespace {

using PER = ZVError::ParameterEncodingFailureReason;
using MER = ZVError::MultipartEncodingFailureReason;
using RVR = ZVError::ResponseValidationFailureReason;
using RSR = ZVError::ResponseSerializationFailureReason;

SharedPlatformError share(plat::Error error) {
    return std::make_shared<const plat::Error>(std::move(error));
}

std::string joined(const std::vector<std::string>& list, const char* separator) {
    std::string text;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i > 0) {
            text += separator;
        }
        text += list[i];
    }
    return text;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string quotedList(const std::vector<std::string>& list) {
    std::vector<std::string> items;
    items.reserve(list.size());
    for (const auto& item : list) {
        items.push_back(quoted(item));
    }
    return "[" + joined(items, ", ") + "]";
}

std::string encodingText(plat::StringEncoding encoding) {
    return plat::Encoding::localizedName(encoding);
}

} // namespace

// Parameter encoding

PER PER::jsonEncodingFailed(plat::Error error) {
    return {Case::jsonEncodingFailed, share(std::move(error))};
}
PER PER::propertyListEncodingFailed(plat::Error error) {
    return {Case::propertyListEncodingFailed, share(std::move(error))};
}

std::string PER::failureText() const {
    switch (case_) {
    case Case::missingURL:
        return "URL request to encode was missing a URL";
    case Case::jsonEncodingFailed:
        return "JSON could not be encoded because of error:\n" + error_->localizedDescription();
    case Case::propertyListEncodingFailed:
        return "PropertyList could not be encoded because of error:\n" + error_->localizedDescription();
    }
    return {};
}

// Multipart encoding

MER MER::bodyPartURLInvalid(plat::URL url) {
    return {Case::bodyPartURLInvalid, std::move(url), nullptr};
}
MER MER::bodyPartFilenameInvalid(plat::URL in) {
    return {Case::bodyPartFilenameInvalid, std::move(in), nullptr};
}
MER MER::bodyPartFileNotReachable(plat::URL at) {
    return {Case::bodyPartFileNotReachable, std::move(at), nullptr};
}
MER MER::bodyPartFileNotReachableWithError(plat::URL atURL, plat::Error error) {
    return {Case::bodyPartFileNotReachableWithError, std::move(atURL), share(std::move(error))};
}
MER MER::bodyPartFileIsDirectory(plat::URL at) {
    return {Case::bodyPartFileIsDirectory, std::move(at), nullptr};
}
MER MER::bodyPartFileSizeNotAvailable(plat::URL at) {
    return {Case::bodyPartFileSizeNotAvailable, std::move(at), nullptr};
}
MER MER::bodyPartFileSizeQueryFailedWithError(plat::URL forURL, plat::Error error) {
    return {Case::bodyPartFileSizeQueryFailedWithError, std::move(forURL), share(std::move(error))};
}
MER MER::bodyPartInputStreamCreationFailed(plat::URL for_) {
    return {Case::bodyPartInputStreamCreationFailed, std::move(for_), nullptr};
}
MER MER::outputStreamCreationFailed(plat::URL for_) {
    return {Case::outputStreamCreationFailed, std::move(for_), nullptr};
}
MER MER::outputStreamFileAlreadyExists(plat::URL at) {
    return {Case::outputStreamFileAlreadyExists, std::move(at), nullptr};
}
MER MER::outputStreamURLInvalid(plat::URL url) {
    return {Case::outputStreamURLInvalid, std::move(url), nullptr};
}
MER MER::outputStreamWriteFailed(plat::Error error) {
    return {Case::outputStreamWriteFailed, std::nullopt, share(std::move(error))};
}
MER MER::inputStreamReadFailed(plat::Error error) {
    return {Case::inputStreamReadFailed, std::nullopt, share(std::move(error))};
}

MER MER::bodyPartHeaderInvalid(std::string name) {
    MER reason(Case::bodyPartHeaderInvalid, std::nullopt, nullptr);
    reason.headerName_ = std::move(name);
    return reason;
}

std::string MER::failureText() const {
    const std::string url = url_ ? url_->description() : std::string();
    switch (case_) {
    case Case::bodyPartURLInvalid:
        return "The URL provided is not a file URL: " + url;
    case Case::bodyPartFilenameInvalid:
        return "The URL provided does not have a valid filename: " + url;
    case Case::bodyPartFileNotReachable:
        return "The URL provided is not reachable: " + url;
    case Case::bodyPartFileNotReachableWithError:
        return "The system returned an error while checking the provided URL for reachability.\nURL: " + url +
               "\nError: " + error_->description();
    case Case::bodyPartFileIsDirectory:
        return "The URL provided is a directory: " + url;
    case Case::bodyPartFileSizeNotAvailable:
        return "Could not fetch the file size from the provided URL: " + url;
    case Case::bodyPartFileSizeQueryFailedWithError:
        return "The system returned an error while attempting to fetch the file size from the provided "
               "URL.\nURL: " +
               url + "\nError: " + error_->description();
    case Case::bodyPartInputStreamCreationFailed:
        return "Failed to create an InputStream for the provided URL: " + url;
    case Case::outputStreamCreationFailed:
        return "Failed to create an OutputStream for URL: " + url;
    case Case::outputStreamFileAlreadyExists:
        return "A file already exists at the provided URL: " + url;
    case Case::outputStreamURLInvalid:
        return "The provided OutputStream URL is invalid: " + url;
    case Case::outputStreamWriteFailed:
        return "OutputStream write failed with error: " + error_->description();
    case Case::inputStreamReadFailed:
        return "InputStream read failed with error: " + error_->description();
    case Case::bodyPartHeaderInvalid:
        return "The body part header contains a line break or NUL: " + headerName_;
    }
    return {};
}

// Response validation

RVR RVR::dataFileNil() {
    return RVR(Case::dataFileNil);
}
RVR RVR::dataFileReadFailed(plat::URL at) {
    RVR r(Case::dataFileReadFailed);
    r.url_ = std::move(at);
    return r;
}
RVR RVR::missingContentType(std::vector<std::string> acceptableContentTypes) {
    RVR r(Case::missingContentType);
    r.acceptable_ = std::move(acceptableContentTypes);
    return r;
}
RVR RVR::unacceptableContentType(std::vector<std::string> acceptableContentTypes,
                                 std::string responseContentType) {
    RVR r(Case::unacceptableContentType);
    r.acceptable_ = std::move(acceptableContentTypes);
    r.responseContentType_ = std::move(responseContentType);
    return r;
}
RVR RVR::unacceptableStatusCode(std::int64_t code) {
    RVR r(Case::unacceptableStatusCode);
    r.code_ = code;
    return r;
}

std::string RVR::failureText() const {
    switch (case_) {
    case Case::dataFileNil:
        return "Response could not be validated, data file was nil.";
    case Case::dataFileReadFailed:
        return "Response could not be validated, data file could not be read: " + url_->description() + ".";
    case Case::missingContentType:
        return "Response Content-Type was missing and acceptable content types (" +
               joined(*acceptable_, ",") + ") do not match \"*/*\".";
    case Case::unacceptableContentType:
        return "Response Content-Type \"" + *responseContentType_ +
               "\" does not match any acceptable types: " + joined(*acceptable_, ",") + ".";
    case Case::unacceptableStatusCode:
        return "Response status code was unacceptable: " + std::to_string(*code_) + ".";
    }
    return {};
}

// Response serialization

RSR RSR::inputFileReadFailed(plat::URL at) {
    RSR r(Case::inputFileReadFailed);
    r.url_ = std::move(at);
    return r;
}
RSR RSR::stringSerializationFailed(plat::StringEncoding encoding) {
    RSR r(Case::stringSerializationFailed);
    r.encoding_ = encoding;
    return r;
}
RSR RSR::jsonSerializationFailed(plat::Error error) {
    RSR r(Case::jsonSerializationFailed);
    r.error_ = share(std::move(error));
    return r;
}
RSR RSR::propertyListSerializationFailed(plat::Error error) {
    RSR r(Case::propertyListSerializationFailed);
    r.error_ = share(std::move(error));
    return r;
}

std::string RSR::failureText() const {
    switch (case_) {
    case Case::inputDataNil:
        return "Response could not be serialized, input data was nil.";
    case Case::inputDataNilOrZeroLength:
        return "Response could not be serialized, input data was nil or zero length.";
    case Case::inputFileNil:
        return "Response could not be serialized, input file was nil.";
    case Case::inputFileReadFailed:
        return "Response could not be serialized, input file could not be read: " + url_->description() + ".";
    case Case::stringSerializationFailed:
        return "String could not be serialized with encoding: " + encodingText(*encoding_) + ".";
    case Case::jsonSerializationFailed:
        return "JSON could not be serialized because of error:\n" + error_->localizedDescription();
    case Case::propertyListSerializationFailed:
        return "PropertyList could not be serialized because of error:\n" + error_->localizedDescription();
    }
    return {};
}

// ZVError

ZVError ZVError::invalidURL(URLConvertible url) {
    return ZVError(std::in_place_index<0>, std::move(url));
}
ZVError ZVError::parameterEncodingFailed(ParameterEncodingFailureReason reason) {
    return ZVError(std::in_place_index<1>, std::move(reason));
}
ZVError ZVError::multipartEncodingFailed(MultipartEncodingFailureReason reason) {
    return ZVError(std::in_place_index<2>, std::move(reason));
}
ZVError ZVError::responseValidationFailed(ResponseValidationFailureReason reason) {
    return ZVError(std::in_place_index<3>, std::move(reason));
}
ZVError ZVError::responseSerializationFailed(ResponseSerializationFailureReason reason) {
    return ZVError(std::in_place_index<4>, std::move(reason));
}

std::optional<URLConvertible> ZVError::invalidURLValue() const {
    if (const auto* url = std::get_if<0>(&payload_)) {
        return *url;
    }
    return std::nullopt;
}

std::optional<plat::URL> ZVError::failingFileURL() const {
    if (const auto* reason = multipartEncodingReason()) {
        return reason->failingFileURL();
    }
    return std::nullopt;
}

SharedPlatformError ZVError::wrappedError() const {
    if (const auto* reason = parameterEncodingReason()) {
        return reason->error();
    }
    if (const auto* reason = multipartEncodingReason()) {
        return reason->error();
    }
    if (const auto* reason = responseSerializationReason()) {
        return reason->error();
    }
    return nullptr;
}

std::optional<std::vector<std::string>> ZVError::acceptableContentTypes() const {
    if (const auto* reason = responseValidationReason()) {
        return reason->acceptableContentTypes();
    }
    return std::nullopt;
}

std::optional<std::string> ZVError::responseContentType() const {
    if (const auto* reason = responseValidationReason()) {
        return reason->responseContentType();
    }
    return std::nullopt;
}

std::optional<std::int64_t> ZVError::responseStatusCode() const {
    if (const auto* reason = responseValidationReason()) {
        return reason->responseStatusCode();
    }
    return std::nullopt;
}

std::optional<plat::StringEncoding> ZVError::stringEncoding() const {
    if (const auto* reason = responseSerializationReason()) {
        return reason->stringEncoding();
    }
    return std::nullopt;
}

std::string ZVError::errorDescription() const {
    switch (kase()) {
    case Case::invalidURL:
        return "URL is not valid: " + std::get<0>(payload_).description();
    case Case::parameterEncodingFailed:
        return std::get<1>(payload_).failureText();
    case Case::multipartEncodingFailed:
        return std::get<2>(payload_).failureText();
    case Case::responseValidationFailed:
        return std::get<3>(payload_).failureText();
    case Case::responseSerializationFailed:
        return std::get<4>(payload_).failureText();
    }
    return {};
}

plat::Error ZVError::bridgedError() const {
    plat::Dictionary userInfo;
    userInfo.set(plat::NSLocalizedDescriptionKey, errorDescription());
    return plat::Error("Zavorida.ZVError", static_cast<std::int64_t>(kase()), std::move(userInfo));
}

// The text string interpolation gives: the case with its payload, as the value prints itself.
std::string ZVError::description() const {
    auto url = [](const std::optional<plat::URL>& u) { return u ? u->description() : std::string("nil"); };
    auto error = [](const SharedPlatformError& e) { return e ? e->description() : std::string("nil"); };
    switch (kase()) {
    case Case::invalidURL: {
        const URLConvertible& value = std::get<0>(payload_);
        return "invalidURL(url: " +
               (value.stringValue() ? quoted(*value.stringValue()) : value.description()) + ")";
    }
    case Case::parameterEncodingFailed: {
        const auto& r = std::get<1>(payload_);
        std::string text = "parameterEncodingFailed(reason: Zavorida.ZVError.ParameterEncodingFailureReason.";
        switch (r.kase()) {
        case PER::Case::missingURL:
            text += "missingURL";
            break;
        case PER::Case::jsonEncodingFailed:
            text += "jsonEncodingFailed(error: " + error(r.error()) + ")";
            break;
        case PER::Case::propertyListEncodingFailed:
            text += "propertyListEncodingFailed(error: " + error(r.error()) + ")";
            break;
        }
        return text + ")";
    }
    case Case::multipartEncodingFailed: {
        const auto& r = std::get<2>(payload_);
        std::string text = "multipartEncodingFailed(reason: Zavorida.ZVError.MultipartEncodingFailureReason.";
        const std::string u = url(r.failingFileURL());
        switch (r.kase()) {
        case MER::Case::bodyPartURLInvalid:
            text += "bodyPartURLInvalid(url: " + u + ")";
            break;
        case MER::Case::bodyPartFilenameInvalid:
            text += "bodyPartFilenameInvalid(in: " + u + ")";
            break;
        case MER::Case::bodyPartFileNotReachable:
            text += "bodyPartFileNotReachable(at: " + u + ")";
            break;
        case MER::Case::bodyPartFileNotReachableWithError:
            text += "bodyPartFileNotReachableWithError(atURL: " + u + ", error: " + error(r.error()) + ")";
            break;
        case MER::Case::bodyPartFileIsDirectory:
            text += "bodyPartFileIsDirectory(at: " + u + ")";
            break;
        case MER::Case::bodyPartFileSizeNotAvailable:
            text += "bodyPartFileSizeNotAvailable(at: " + u + ")";
            break;
        case MER::Case::bodyPartFileSizeQueryFailedWithError:
            text +=
                "bodyPartFileSizeQueryFailedWithError(forURL: " + u + ", error: " + error(r.error()) + ")";
            break;
        case MER::Case::bodyPartInputStreamCreationFailed:
            text += "bodyPartInputStreamCreationFailed(for: " + u + ")";
            break;
        case MER::Case::outputStreamCreationFailed:
            text += "outputStreamCreationFailed(for: " + u + ")";
            break;
        case MER::Case::outputStreamFileAlreadyExists:
            text += "outputStreamFileAlreadyExists(at: " + u + ")";
            break;
        case MER::Case::outputStreamURLInvalid:
            text += "outputStreamURLInvalid(url: " + u + ")";
            break;
        case MER::Case::outputStreamWriteFailed:
            text += "outputStreamWriteFailed(error: " + error(r.error()) + ")";
            break;
        case MER::Case::inputStreamReadFailed:
            text += "inputStreamReadFailed(error: " + error(r.error()) + ")";
            break;
        case MER::Case::bodyPartHeaderInvalid:
            text += "bodyPartHeaderInvalid(name: " + quoted(r.headerName()) + ")";
            break;
        }
        return text + ")";
    }
    case Case::responseValidationFailed: {
        const auto& r = std::get<3>(payload_);
        std::string text =
            "responseValidationFailed(reason: Zavorida.ZVError.ResponseValidationFailureReason.";
        switch (r.kase()) {
        case RVR::Case::dataFileNil:
            text += "dataFileNil";
            break;
        case RVR::Case::dataFileReadFailed:
            text += "dataFileReadFailed(at: " + url(r.url()) + ")";
            break;
        case RVR::Case::missingContentType:
            text +=
                "missingContentType(acceptableContentTypes: " + quotedList(*r.acceptableContentTypes()) + ")";
            break;
        case RVR::Case::unacceptableContentType:
            text +=
                "unacceptableContentType(acceptableContentTypes: " + quotedList(*r.acceptableContentTypes()) +
                ", responseContentType: " + quoted(*r.responseContentType()) + ")";
            break;
        case RVR::Case::unacceptableStatusCode:
            text += "unacceptableStatusCode(code: " + std::to_string(*r.responseStatusCode()) + ")";
            break;
        }
        return text + ")";
    }
    case Case::responseSerializationFailed: {
        const auto& r = std::get<4>(payload_);
        std::string text =
            "responseSerializationFailed(reason: Zavorida.ZVError.ResponseSerializationFailureReason.";
        switch (r.kase()) {
        case RSR::Case::inputDataNil:
            text += "inputDataNil";
            break;
        case RSR::Case::inputDataNilOrZeroLength:
            text += "inputDataNilOrZeroLength";
            break;
        case RSR::Case::inputFileNil:
            text += "inputFileNil";
            break;
        case RSR::Case::inputFileReadFailed:
            text += "inputFileReadFailed(at: " + url(r.url()) + ")";
            break;
        case RSR::Case::stringSerializationFailed:
            text += "stringSerializationFailed(encoding: " + encodingText(*r.stringEncoding()) + ")";
            break;
        case RSR::Case::jsonSerializationFailed:
            text += "jsonSerializationFailed(error: " + error(r.error()) + ")";
            break;
        case RSR::Case::propertyListSerializationFailed:
            text += "propertyListSerializationFailed(error: " + error(r.error()) + ")";
            break;
        }
        return text + ")";
    }
    }
    return {};
}

// AdaptError

std::optional<AnyError> AdaptError::fromError(const AnyError& error) {
    if (const auto* adapt = error.as<AdaptError>()) {
        return adapt->error();
    }
    return std::nullopt;
}

std::string AdaptError::description() const {
    return "AdaptError(error: " + error_.description() + ")";
}

} // namespace Zavorida
