// trust_root FILE...: adds each certificate (PEM or DER) to the local machine's ROOT store, so
// that chains ending in it verify in this Wine prefix (or on this Windows machine). Exit 0 when
// every certificate was added.
#include <windows.h>
// clang-format off
#include <wincrypt.h>
// clang-format on

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
  if (!store) {
    fprintf(stderr, "trust_root: cannot open the ROOT store: %lu\n", GetLastError());
    return 2;
  }
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<BYTE> der(text.size());
    DWORD size = DWORD(der.size());
    // PEM (or base64) first; anything else is taken as DER.
    if (!CryptStringToBinaryA(text.data(), DWORD(text.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                              nullptr)) {
      der.assign(text.begin(), text.end());
      size = DWORD(der.size());
    }
    if (text.empty() || !CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      fprintf(stderr, "trust_root: cannot add %s: %lu\n", argv[i], GetLastError());
      ++failed;
    }
  }
  CertCloseStore(store, 0);
  return failed ? 1 : 0;
}
