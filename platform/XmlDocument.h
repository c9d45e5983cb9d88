// The XML document loader: a synchronous HTTP GET whose body is parsed as XML.
#pragma once

#include <memory>
#include <string>

namespace quvo::platform {

class XmlDocument {
  public:
    enum class CreateResult {
        Ok,
        CreateFailed,  // the document object (or the HTTP/XML machinery) cannot be created
        NoObject,      // creation reported success but delivered no object
    };

    static CreateResult Create(std::unique_ptr<XmlDocument>& document);

    virtual ~XmlDocument() = default;

    // Loads the document synchronously from url. False is the load's failure status
    // (a request that cannot be issued at all: a URL that does not parse, has no host
    // or another scheme than http or https); a server that cannot be reached, times
    // out, answers with a status other than 2xx, with a body over 1 MiB or with a
    // body that is not XML is a successful load with an empty text. The load waits
    // at most 5 s for the connection and 15 s in all.
    virtual bool Load(const std::string& url) = 0;

    // The concatenated character data of the loaded document; empty when the body
    // did not parse.
    virtual std::wstring Text() const = 0;
};

}  // namespace quvo::platform
