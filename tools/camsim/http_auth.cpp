#include "http_auth.h"

#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/rand.h>

#include <cctype>
#include <cstdio>
#include <vector>

namespace camsim {

namespace {

std::string Base64(const std::string& text) {
  std::vector<unsigned char> out(4 * ((text.size() + 2) / 3) + 1);
  const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                int(text.size()));
  return std::string(reinterpret_cast<char*>(out.data()), size_t(n));
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) !=
                                std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

std::string RandomHex(size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  RAND_bytes(raw.data(), int(raw.size()));
  std::string hex;
  char digits[3];
  for (unsigned char c : raw) {
    std::snprintf(digits, sizeof(digits), "%02x", c);
    hex += digits;
  }
  return hex;
}

}  // namespace

CHttpAuth::CHttpAuth(std::string realm, std::string user, std::string password)
    : realm_(std::move(realm)), user_(std::move(user)), password_(std::move(password)) {}

std::string CHttpAuth::Md5Hex(const std::string& text) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  std::string hex;
  char digits[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof(digits), "%02x", digest[i]);
    hex += digits;
  }
  return hex;
}

bool CHttpAuth::CheckBasic(const std::string& authorization) const {
  if (!StartsWithNoCase(authorization, "Basic ")) return false;
  std::string token = authorization.substr(6);
  while (!token.empty() && token.front() == ' ') token.erase(0, 1);
  while (!token.empty() && (token.back() == ' ' || token.back() == '\r')) token.pop_back();
  return token == Base64(user_ + ":" + password_);
}

std::string CHttpAuth::BasicChallenge() const { return "Basic realm=\"" + realm_ + "\""; }

std::string CHttpAuth::DigestChallenge() {
  std::string nonce = RandomHex(16);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    nonce += std::to_string(++counter_);
    nonces_.insert(nonce);
  }
  return "Digest realm=\"" + realm_ + "\", qop=\"auth\", nonce=\"" + nonce + "\", opaque=\"" +
         RandomHex(8) + "\", algorithm=MD5";
}

std::map<std::string, std::string> CHttpAuth::ParseDigestParams(const std::string& header) {
  std::map<std::string, std::string> params;
  size_t i = header.find(' ');
  if (i == std::string::npos) return params;
  while (i < header.size()) {
    while (i < header.size() && (header[i] == ' ' || header[i] == ',')) ++i;
    const size_t eq = header.find('=', i);
    if (eq == std::string::npos) break;
    std::string name = header.substr(i, eq - i);
    for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
    i = eq + 1;
    std::string value;
    if (i < header.size() && header[i] == '"') {
      ++i;
      while (i < header.size() && header[i] != '"') {
        if (header[i] == '\\' && i + 1 < header.size()) ++i;
        value += header[i++];
      }
      ++i;
    } else {
      while (i < header.size() && header[i] != ',') value += header[i++];
      while (!value.empty() && value.back() == ' ') value.pop_back();
    }
    params[name] = value;
  }
  return params;
}

bool CHttpAuth::CheckDigest(const std::string& method, const std::string& target,
                            const std::string& decodedTarget, const std::string& authorization) {
  if (!StartsWithNoCase(authorization, "Digest ")) return false;
  auto p = ParseDigestParams(authorization);
  // The server library hands header values over percent-decoded, so the uri
  // is compared decoded; the hash is over the target as it was sent.
  if (p["username"] != user_ || p["realm"] != realm_ ||
      (p["uri"] != target && p["uri"] != decodedTarget)) {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (nonces_.count(p["nonce"]) == 0) return false;
  }
  const std::string ha1 = Md5Hex(user_ + ":" + realm_ + ":" + password_);
  const std::string ha2 = Md5Hex(method + ":" + target);
  std::string expected;
  if (p.count("qop") != 0) {
    if (p["qop"] != "auth" || p["nc"].empty() || p["cnonce"].empty()) return false;
    expected = Md5Hex(ha1 + ":" + p["nonce"] + ":" + p["nc"] + ":" + p["cnonce"] + ":auth:" + ha2);
  } else {
    expected = Md5Hex(ha1 + ":" + p["nonce"] + ":" + ha2);
  }
  return p["response"] == expected;
}

}  // namespace camsim
