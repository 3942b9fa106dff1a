// The multipart-form uploads of SessionManager: the form is encoded on a utility queue, in memory when small
// and through a temporary file otherwise, and the outcome is reported on the main queue.

#include "Zavorida/Source/SessionManager.hpp"

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/UUID.hpp"

namespace Zavorida {

namespace {

using EncodingResult = SessionManager::MultipartFormDataEncodingResult;

void report(const SessionManager::MultipartEncodingCompletion& completion, EncodingResult result) {
    if (!completion) {
        return;
    }
    plat::DispatchQueue::main()->async([completion, result = std::move(result)] { completion(result); });
}

// Removal is best effort: the file may never have been written, or be gone already.
void removeMultipartFile(const plat::URL& fileURL) {
    (void)plat::FileManager::defaultManager().removeItem(fileURL.path());
}

plat::URL multipartDirectory() {
    return plat::URL::file(plat::FileManager::defaultManager().temporaryDirectory(), true)
        .appendingPathComponent("org.zavorida.manager/multipart.form.data", true);
}

} // namespace

void SessionManager::makeMultipartUploadToURL(MultipartFormBuilder multipartFormData, std::uint64_t threshold,
                                              const URLConvertible& url, HTTPMethod method,
                                              const std::optional<HeaderDictionary>& headers,
                                              MultipartEncodingCompletion encodingCompletion) {
    std::optional<plat::URLRequest> urlRequest;
    try {
        urlRequest = makeRequest(url, method, headers);
    } catch (...) {
        report(encodingCompletion, EncodingResult::failure(AnyError::current()));
        return;
    }
    makeMultipartUpload(std::move(multipartFormData), threshold,
                        URLRequestConvertible(std::move(*urlRequest)), std::move(encodingCompletion));
}

void SessionManager::makeMultipartUpload(MultipartFormBuilder multipartFormData, std::uint64_t threshold,
                                         URLRequestConvertible urlRequest,
                                         MultipartEncodingCompletion encodingCompletion) {
    plat::DispatchQueue::global(plat::QoS::utility)
        ->async([self = shared_from_this(), multipartFormData = std::move(multipartFormData), threshold,
                 urlRequest = std::move(urlRequest), encodingCompletion = std::move(encodingCompletion)] {
            self->encodeMultipartFormData(multipartFormData, threshold, urlRequest, encodingCompletion);
        });
}

void SessionManager::encodeMultipartFormData(const MultipartFormBuilder& multipartFormData,
                                             std::uint64_t threshold, const URLRequestConvertible& urlRequest,
                                             const MultipartEncodingCompletion& encodingCompletion) {
    MultipartFormData form;
    std::optional<plat::URL> temporaryFileURL;
    try {
        // A builder that throws is reported like any other encoding failure rather than ending the process
        // on a utility queue.
        if (multipartFormData) {
            multipartFormData(form);
        }
        auto request = urlRequest.makeURLRequest();
        request.setValue(form.contentType(), "Content-Type");

        const bool isBackgroundSession = session_->configuration().identifier().has_value();
        if (form.contentLength() < threshold && !isBackgroundSession) {
            auto data = form.encodeToData();
            auto upload = makeDataUploadRequest(std::move(data), URLRequestConvertible(std::move(request)));
            report(encodingCompletion, EncodingResult::success({std::move(upload), false, std::nullopt}));
            return;
        }

        const auto directory = multipartDirectory();
        const auto fileURL = directory.appendingPathComponent(plat::UUID::random().uuidString());
        temporaryFileURL = fileURL;
        // On the manager's queue, so that two encodings of one manager never create the folder at once.
        const auto created = queue_->sync(
            [&] { return plat::FileManager::defaultManager().createDirectory(directory.path(), true); });
        if (!created) {
            throw created.error();
        }
        form.writeEncodedDataToFile(fileURL);

        auto upload = makeFileUploadRequest(fileURL, URLRequestConvertible(std::move(request)));
        upload->delegate()->queue()->addOperationWithBlock([fileURL] { removeMultipartFile(fileURL); });
        report(encodingCompletion, EncodingResult::success({std::move(upload), true, fileURL}));
    } catch (...) {
        auto error = AnyError::current();
        if (temporaryFileURL) {
            removeMultipartFile(*temporaryFileURL);
        }
        report(encodingCompletion, EncodingResult::failure(std::move(error)));
    }
}

void uploadMultipartWithDefaultSession(SessionManager::MultipartFormBuilder multipartFormData,
                                       std::uint64_t threshold, const URLConvertible& url, HTTPMethod method,
                                       const std::optional<HeaderDictionary>& headers,
                                       SessionManager::MultipartEncodingCompletion encodingCompletion) {
    SessionManager::shared().makeMultipartUploadToURL(std::move(multipartFormData), threshold, url, method,
                                                      headers, std::move(encodingCompletion));
}

void uploadMultipartWithDefaultSessionFromURLRequest(
    SessionManager::MultipartFormBuilder multipartFormData, std::uint64_t threshold,
    URLRequestConvertible urlRequest, SessionManager::MultipartEncodingCompletion encodingCompletion) {
    SessionManager::shared().makeMultipartUpload(std::move(multipartFormData), threshold,
                                                 std::move(urlRequest), std::move(encodingCompletion));
}

} // namespace Zavorida
