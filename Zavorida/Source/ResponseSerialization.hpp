#pragma once
// Turning what a finished request produced (request, HTTP response, body bytes or downloaded file, error)
// into a typed Result: the serializer types, the four body rules and the factories that capture a rule's
// parameter. The request classes expose the rules and factories as their own static operations.

#include <concepts>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>

#include "Zavorida/Source/ZVError.hpp"
#include "Zavorida/Source/AnyError.hpp"
#include "Zavorida/Source/Response.hpp"
#include "Zavorida/Source/Result.hpp"
#include "platform/foundation/StringEncoding.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLRequest.hpp"

namespace Zavorida {

template <class Value> struct DataResponseSerializer {
    using SerializedObject = Value;
    using Closure = std::function<Result<Value>(
        const std::optional<plat::URLRequest>& request, const HTTPResponsePtr& response,
        const std::optional<plat::Data>& data, const std::optional<AnyError>& error)>;

    explicit DataResponseSerializer(Closure closure) : serializeResponse(std::move(closure)) {}

    Closure serializeResponse;
};

template <class Value> struct DownloadResponseSerializer {
    using SerializedObject = Value;
    using Closure = std::function<Result<Value>(
        const std::optional<plat::URLRequest>& request, const HTTPResponsePtr& response,
        const std::optional<plat::URL>& fileURL, const std::optional<AnyError>& error)>;

    explicit DownloadResponseSerializer(Closure closure) : serializeResponse(std::move(closure)) {}

    Closure serializeResponse;
};

template <class S>
concept DataResponseSerializerProtocol = requires(const S& serializer,
                                                  const std::optional<plat::URLRequest>& request,
                                                  const HTTPResponsePtr& response,
                                                  const std::optional<plat::Data>& data,
                                                  const std::optional<AnyError>& error) {
    typename S::SerializedObject;
    {
        serializer.serializeResponse(request, response, data, error)
        } -> std::same_as<Result<typename S::SerializedObject>>;
};

template <class S>
concept DownloadResponseSerializerProtocol = requires(const S& serializer,
                                                      const std::optional<plat::URLRequest>& request,
                                                      const HTTPResponsePtr& response,
                                                      const std::optional<plat::URL>& fileURL,
                                                      const std::optional<AnyError>& error) {
    typename S::SerializedObject;
    {
        serializer.serializeResponse(request, response, fileURL, error)
        } -> std::same_as<Result<typename S::SerializedObject>>;
};

// Status codes whose responses count as having no body, whatever bytes arrived: 204 and 205.
const std::unordered_set<int>& emptyResponseStatusCodes();

// The body rules. A task's error always wins and is passed on unchanged. JSON and property-list values of
// an empty response are the null value.
struct ResponseBodyRules {
    static Result<plat::Data> serializeAsData(const HTTPResponsePtr& response,
                                              const std::optional<plat::Data>& data,
                                              const std::optional<AnyError>& error);
    // Without an encoding, the response's character-set name decides, else ISO Latin 1.
    static Result<std::string> serializeAsString(std::optional<plat::StringEncoding> encoding,
                                                 const HTTPResponsePtr& response,
                                                 const std::optional<plat::Data>& data,
                                                 const std::optional<AnyError>& error);
    static Result<plat::Value> serializeAsJSON(unsigned options, const HTTPResponsePtr& response,
                                               const std::optional<plat::Data>& data,
                                               const std::optional<AnyError>& error);
    static Result<plat::Value> serializeAsPropertyList(unsigned options, const HTTPResponsePtr& response,
                                                       const std::optional<plat::Data>& data,
                                                       const std::optional<AnyError>& error);
};

struct DataSerializerFactories {
    static DataResponseSerializer<plat::Data> makeDataSerializer();
    static DataResponseSerializer<std::string>
    makeStringSerializer(std::optional<plat::StringEncoding> encoding = std::nullopt);
    static DataResponseSerializer<plat::Value> makeJSONSerializer(unsigned options = 0);
    static DataResponseSerializer<plat::Value> makePropertyListSerializer(unsigned options = 0);
};

// Download serializers read the whole file first, then apply the body rule of their kind; so a 204 whose
// file cannot be read still fails with inputFileReadFailed.
struct DownloadSerializerFactories {
    static DownloadResponseSerializer<plat::Data> makeDataSerializer();
    static DownloadResponseSerializer<std::string>
    makeStringSerializer(std::optional<plat::StringEncoding> encoding = std::nullopt);
    static DownloadResponseSerializer<plat::Value> makeJSONSerializer(unsigned options = 0);
    static DownloadResponseSerializer<plat::Value> makePropertyListSerializer(unsigned options = 0);
};

} // namespace Zavorida
