#include "platform/XmlDocument.h"

#include <windows.h>
// The COM and DOM headers after <windows.h>.
#include <msxml.h>
#include <objbase.h>
#include <oleauto.h>

#include "platform/Text.h"

namespace quvo::platform {

namespace {

// The system's DOM document, loaded synchronously.
class DomDocument final : public XmlDocument {
  public:
    explicit DomDocument(IXMLDOMDocument* document) : m_document(document) {}
    ~DomDocument() override { m_document->Release(); }
    DomDocument(const DomDocument&) = delete;
    DomDocument& operator=(const DomDocument&) = delete;

    bool Load(const std::string& url) override {
        // The load waits for the transfer and the parse; its status is what counts,
        // not the success flag it hands back.
        (void)m_document->put_async(VARIANT_FALSE);
        const std::wstring wideUrl = ToWide(url);
        VARIANT source;
        ::VariantInit(&source);
        source.vt = VT_BSTR;
        source.bstrVal = ::SysAllocStringLen(wideUrl.data(), static_cast<UINT>(wideUrl.size()));
        if (!source.bstrVal) return false;
        VARIANT_BOOL parsed = VARIANT_FALSE;
        const HRESULT status = m_document->load(source, &parsed);
        ::VariantClear(&source);
        return SUCCEEDED(status);
    }

    std::wstring Text() const override {
        BSTR text = nullptr;
        if (FAILED(m_document->get_text(&text)) || !text) {
            ::SysFreeString(text);
            return std::wstring();
        }
        std::wstring result(text, ::SysStringLen(text));
        ::SysFreeString(text);
        return result;
    }

  private:
    IXMLDOMDocument* m_document;
};

}  // namespace

XmlDocument::CreateResult XmlDocument::Create(std::unique_ptr<XmlDocument>& document) {
    IXMLDOMDocument* dom = nullptr;
    const HRESULT status = ::CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_IXMLDOMDocument, reinterpret_cast<void**>(&dom));
    if (FAILED(status)) return CreateResult::CreateFailed;
    if (!dom) return CreateResult::NoObject;
    document = std::make_unique<DomDocument>(dom);
    return CreateResult::Ok;
}

}  // namespace quvo::platform
