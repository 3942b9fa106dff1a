#include "platform/net/URLError.hpp"

namespace plat::URLError {

std::string localizedDescription(int64_t code, std::string_view host) {
    return Error::urlLoadingDescription(code, host);
}

Error make(int64_t code, const std::optional<URL>& failingURL, std::optional<int> transportCode,
           Dictionary extraUserInfo) {
    Dictionary info = std::move(extraUserInfo);
    std::string host;
    if (failingURL)
        host = failingURL->host().value_or("");
    info.set(NSLocalizedDescriptionKey, Value(localizedDescription(code, host)));
    if (failingURL) {
        // The URL object travels as its text: values hold no URL kind, and readers compare the text.
        info.set(NSURLErrorFailingURLErrorKey, Value(failingURL->absoluteString()));
        info.set(NSURLErrorFailingURLStringErrorKey, Value(failingURL->absoluteString()));
    }
    std::shared_ptr<const Error> underlying;
    if (transportCode && *transportCode != 0) {
        underlying = std::make_shared<const Error>(PlatCurlErrorDomain, *transportCode);
    }
    return Error(NSURLErrorDomain, code, std::move(info), std::move(underlying));
}

int64_t codeFor(WireFailure failure) {
    switch (failure) {
    case WireFailure::none:
        return 0;
    case WireFailure::cancelled:
        return NSURLErrorCancelled;
    case WireFailure::badURL:
        return NSURLErrorBadURL;
    case WireFailure::unsupportedScheme:
        return NSURLErrorUnsupportedURL;
    case WireFailure::cannotFindHost:
        return NSURLErrorCannotFindHost;
    case WireFailure::cannotConnect:
        return NSURLErrorCannotConnectToHost;
    case WireFailure::timedOut:
        return NSURLErrorTimedOut;
    case WireFailure::connectionLost:
        return NSURLErrorNetworkConnectionLost;
    case WireFailure::badServerResponse:
        return NSURLErrorBadServerResponse;
    case WireFailure::badContentEncoding:
        return NSURLErrorCannotDecodeContentData;
    case WireFailure::sslConnect:
        return NSURLErrorSecureConnectionFailed;
    case WireFailure::serverCertificateUntrusted:
        return NSURLErrorServerCertificateUntrusted;
    case WireFailure::sendFailed:
        return NSURLErrorRequestBodyStreamExhausted;
    case WireFailure::tooLarge:
        return NSURLErrorDataLengthExceedsMaximum;
    case WireFailure::notConnected:
        return NSURLErrorNotConnectedToInternet;
    case WireFailure::other:
        return NSURLErrorUnknown;
    }
    return NSURLErrorUnknown;
}

} // namespace plat::URLError
