#include "foundation/credential_store.h"

#include <windows.h>
#include <dpapi.h>

#include <cstring>

#include "foundation/settings_text.h"

namespace {

// Binds the protection to this plug-in: another program of the same user
// that unprotects the text without it gets nothing.
const char kEntropy[] = "Velmarquin account credential";

DATA_BLOB BlobOf(const void* data, size_t size) {
    DATA_BLOB blob;
    blob.cbData = static_cast<DWORD>(size);
    blob.pbData = static_cast<BYTE*>(const_cast<void*>(data));
    return blob;
}

// The output of the protection calls, freed with LocalFree.
class LocalBlob {
public:
    LocalBlob() { blob_ = BlobOf(nullptr, 0); }
    ~LocalBlob() {
        if (blob_.pbData != nullptr) {
            SecureZeroMemory(blob_.pbData, blob_.cbData);
            LocalFree(blob_.pbData);
        }
    }
    LocalBlob(const LocalBlob&) = delete;
    LocalBlob& operator=(const LocalBlob&) = delete;
    DATA_BLOB* Out() { return &blob_; }
    const DATA_BLOB& Get() const { return blob_; }

private:
    DATA_BLOB blob_;
};

}  // namespace

bool ProtectCredential(const std::wstring& value, std::wstring& stored) {
    DATA_BLOB in = BlobOf(value.data(), value.size() * sizeof(wchar_t));
    DATA_BLOB entropy = BlobOf(kEntropy, sizeof(kEntropy) - 1);
    LocalBlob out;
    if (!CryptProtectData(&in, L"Velmarquin", &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, out.Out())) {
        return false;
    }
    stored = ProtectedCredentialText(std::string(reinterpret_cast<const char*>(out.Get().pbData), out.Get().cbData));
    return true;
}

bool RevealCredential(const std::wstring& stored, std::wstring& value) {
    std::string bytes;
    switch (ReadCredentialForm(stored, bytes)) {
        case CredentialForm::Plain: value = stored; return true;
        case CredentialForm::Damaged: value.clear(); return false;
        case CredentialForm::Protected: break;
    }
    DATA_BLOB in = BlobOf(bytes.data(), bytes.size());
    DATA_BLOB entropy = BlobOf(kEntropy, sizeof(kEntropy) - 1);
    LocalBlob out;
    value.clear();
    if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, out.Out()) ||
        out.Get().cbData % sizeof(wchar_t) != 0) {
        return false;
    }
    value.resize(out.Get().cbData / sizeof(wchar_t));
    if (!value.empty()) std::memcpy(&value[0], out.Get().pbData, out.Get().cbData);
    return true;
}
