// The URL-and-method entries of SessionManager's download and upload factories, its stream requests, and the
// shared manager's download, upload and stream functions.

#include "Zavorida/Source/SessionManager.hpp"

namespace Zavorida {

// Unlike a data request, a download or upload whose URL request cannot be built or encoded keeps no origin:
// there is nothing a retry could make a task from.

std::shared_ptr<DownloadRequest> SessionManager::makeDownloadRequestToURL(
    const URLConvertible& url, HTTPMethod method, const std::optional<ParameterDictionary>& parameters,
    const ParameterEncoding& encoding, const std::optional<HeaderDictionary>& headers,
    DownloadDestination destination) {
    std::optional<plat::URLRequest> encoded;
    try {
        encoded = encoding.encodeParameters(makeRequest(url, method, headers), parameters);
    } catch (...) {
        return makeFailedDownloadRequest(nullptr, std::move(destination), AnyError::current());
    }
    return makeDownloadRequest(URLRequestConvertible(std::move(*encoded)), std::move(destination));
}

// Builds the URL request of an upload by URL and method and hands it to `make`; a request that cannot be
// built gives a failed upload.
template <class Make>
std::shared_ptr<UploadRequest> SessionManager::uploadToURL(const URLConvertible& url, HTTPMethod method,
                                                           const std::optional<HeaderDictionary>& headers,
                                                           Make&& make) {
    std::optional<plat::URLRequest> urlRequest;
    try {
        urlRequest = makeRequest(url, method, headers);
    } catch (...) {
        return makeFailedUploadRequest(nullptr, AnyError::current());
    }
    return make(URLRequestConvertible(std::move(*urlRequest)));
}

std::shared_ptr<UploadRequest>
SessionManager::makeFileUploadRequestToURL(plat::URL fileURL, const URLConvertible& url, HTTPMethod method,
                                           const std::optional<HeaderDictionary>& headers) {
    return uploadToURL(url, method, headers, [&](URLRequestConvertible request) {
        return makeFileUploadRequest(std::move(fileURL), std::move(request));
    });
}

std::shared_ptr<UploadRequest>
SessionManager::makeDataUploadRequestToURL(plat::Data data, const URLConvertible& url, HTTPMethod method,
                                           const std::optional<HeaderDictionary>& headers) {
    return uploadToURL(url, method, headers, [&](URLRequestConvertible request) {
        return makeDataUploadRequest(std::move(data), std::move(request));
    });
}

std::shared_ptr<UploadRequest>
SessionManager::makeStreamUploadRequestToURL(std::shared_ptr<plat::InputStream> stream,
                                             const URLConvertible& url, HTTPMethod method,
                                             const std::optional<HeaderDictionary>& headers) {
    return uploadToURL(url, method, headers, [&](URLRequestConvertible request) {
        return makeStreamUploadRequest(std::move(stream), std::move(request));
    });
}

std::shared_ptr<StreamRequest> SessionManager::makeStreamRequestToHost(std::string hostName, int port) {
    return makeStreamRequestFromStreamable(
        std::make_shared<Streamable>(Streamable::stream(std::move(hostName), port)));
}

std::shared_ptr<StreamRequest> SessionManager::makeStreamRequestToService(NetService service) {
    return makeStreamRequestFromStreamable(
        std::make_shared<Streamable>(Streamable::netService(std::move(service))));
}

std::shared_ptr<StreamRequest>
SessionManager::makeStreamRequestFromStreamable(std::shared_ptr<const Streamable> streamable) {
    TaskConvertible::TaskPtr task;
    try {
        task = streamable->makeTask(*session_, adapter(), queue_);
    } catch (...) {
        auto request = Request::make<StreamRequest>(session_, {Request::TaskKind::stream, nullptr, nullptr},
                                                    AnyError::current());
        if (startRequestsImmediately()) {
            request->resume();
        }
        return request;
    }
    auto request = Request::make<StreamRequest>(session_, {Request::TaskKind::stream, streamable, task});
    delegate_->setRequest(*task, request);
    if (startRequestsImmediately()) {
        request->resume();
    }
    return request;
}

std::shared_ptr<DownloadRequest>
downloadWithDefaultSession(const URLConvertible& url, HTTPMethod method,
                           const std::optional<ParameterDictionary>& parameters,
                           const ParameterEncoding& encoding, const std::optional<HeaderDictionary>& headers,
                           DownloadDestination destination) {
    return SessionManager::shared().makeDownloadRequestToURL(url, method, parameters, encoding, headers,
                                                             std::move(destination));
}

std::shared_ptr<DownloadRequest>
downloadWithDefaultSessionFromURLRequest(const URLRequestConvertible& urlRequest,
                                         DownloadDestination destination) {
    return SessionManager::shared().makeDownloadRequest(urlRequest, std::move(destination));
}

std::shared_ptr<DownloadRequest> downloadWithDefaultSessionFromResumeData(plat::Data resumeData,
                                                                          DownloadDestination destination) {
    return SessionManager::shared().makeResumedDownloadRequest(std::move(resumeData), std::move(destination));
}

std::shared_ptr<UploadRequest> uploadFileWithDefaultSession(plat::URL fileURL, const URLConvertible& url,
                                                            HTTPMethod method,
                                                            const std::optional<HeaderDictionary>& headers) {
    return SessionManager::shared().makeFileUploadRequestToURL(std::move(fileURL), url, method, headers);
}

std::shared_ptr<UploadRequest>
uploadFileWithDefaultSessionFromURLRequest(plat::URL fileURL, const URLRequestConvertible& urlRequest) {
    return SessionManager::shared().makeFileUploadRequest(std::move(fileURL), urlRequest);
}

std::shared_ptr<UploadRequest> uploadDataWithDefaultSession(plat::Data data, const URLConvertible& url,
                                                            HTTPMethod method,
                                                            const std::optional<HeaderDictionary>& headers) {
    return SessionManager::shared().makeDataUploadRequestToURL(std::move(data), url, method, headers);
}

std::shared_ptr<UploadRequest>
uploadDataWithDefaultSessionFromURLRequest(plat::Data data, const URLRequestConvertible& urlRequest) {
    return SessionManager::shared().makeDataUploadRequest(std::move(data), urlRequest);
}

std::shared_ptr<UploadRequest>
uploadStreamWithDefaultSession(std::shared_ptr<plat::InputStream> stream, const URLConvertible& url,
                               HTTPMethod method, const std::optional<HeaderDictionary>& headers) {
    return SessionManager::shared().makeStreamUploadRequestToURL(std::move(stream), url, method, headers);
}

std::shared_ptr<UploadRequest>
uploadStreamWithDefaultSessionFromURLRequest(std::shared_ptr<plat::InputStream> stream,
                                             const URLRequestConvertible& urlRequest) {
    return SessionManager::shared().makeStreamUploadRequest(std::move(stream), urlRequest);
}

std::shared_ptr<StreamRequest> streamWithDefaultSessionToHost(std::string hostName, int port) {
    return SessionManager::shared().makeStreamRequestToHost(std::move(hostName), port);
}

std::shared_ptr<StreamRequest> streamWithDefaultSessionToService(NetService service) {
    return SessionManager::shared().makeStreamRequestToService(std::move(service));
}

} // namespace Zavorida
