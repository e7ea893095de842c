// Adds a certificate authority (PEM or DER file) to the Root store of the
// Wine prefix it runs in, so WinHTTP there trusts the lab's servers.
//   tvx_lab_trust.exe CA.pem
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tvx_lab_trust CA.pem\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (text.empty()) {
        std::fprintf(stderr, "cannot read the certificate\n");
        return 1;
    }
    std::vector<BYTE> der;
    DWORD size = 0;
    if (CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                             nullptr, nullptr)) {
        der.resize(size);
        CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                             nullptr, nullptr);
        der.resize(size);
    } else {
        der.assign(text.begin(), text.end());
    }
    if (!CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(), static_cast<DWORD>(der.size()))) {
        std::fprintf(stderr, "CertAddEncodedCertificateToSystemStoreW failed: %lu\n", GetLastError());
        return 1;
    }
    std::printf("lab CA added to the Root store\n");
    return 0;
}
