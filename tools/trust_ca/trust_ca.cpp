// Adds a DER certificate to the machine's trusted root store of the current
// Wine prefix, so that the local service double's test CA is trusted there
// and nowhere else.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: trust_ca <certificate.der>\n");
        return 2;
    }
    FILE* file = _wfopen(argv[1], L"rb");
    if (file == nullptr) {
        std::fwprintf(stderr, L"cannot open %ls\n", argv[1]);
        return 1;
    }
    // A certificate is a few kilobytes; anything near the limit is not one.
    std::vector<unsigned char> der(256 * 1024);
    const size_t length = std::fread(der.data(), 1, der.size(), file);
    std::fclose(file);
    if (length == 0 || length == der.size()) {
        std::fwprintf(stderr, L"%ls is empty or too large for a certificate\n", argv[1]);
        return 1;
    }

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (store == nullptr) {
        std::fwprintf(stderr, L"cannot open the ROOT store: %lu\n", GetLastError());
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                        static_cast<DWORD>(length), CERT_STORE_ADD_REPLACE_EXISTING,
                                                        nullptr);
    // Wine writes the store to the prefix's registry only when it is closed.
    CertCloseStore(store, 0);
    if (!added) {
        std::fwprintf(stderr, L"cannot add the certificate: %lu\n", GetLastError());
        return 1;
    }
    std::wprintf(L"test CA trusted\n");
    return 0;
}
