#pragma once
// The signing and encryption of the secure channel's chunks (OPC 10000-6,
// 6.7.2): OpenSecureChannel chunks under the asymmetric keys of the two
// certificates, MSG and CLO chunks under the channel's derived keys. A chunk
// is the clear header (message header and security header, its size field at
// offset 4) followed by the secured bytes: sequence header, body, padding and
// signature, encrypted where the mode asks for it. Every check that fails
// throws SecurityFault; no partial result leaves here.

#include "SecurityPolicy.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace ua::chunk {

class SecurityFault : public std::runtime_error {
public:
    SecurityFault(StatusCode code, const std::string& what) : std::runtime_error(what), code_(code) {}
    StatusCode Code() const { return code_; }

private:
    StatusCode code_;
};

// The secured bytes of an OpenSecureChannel chunk: decrypted with our key,
// its signature checked with the sender's certificate, its padding checked.
// clearSize: the bytes of the message and asymmetric security headers.
// Returns the sequence header and the body.
ByteString OpenAsymmetric(const std::uint8_t* chunk, std::size_t size, std::size_t clearSize,
                          const SecurityPolicy& policy, const crypto::PrivateKey& own,
                          const crypto::Certificate& sender);

// A whole OpenSecureChannel chunk: clear holds the message and asymmetric
// security headers (the size is patched in), plain the sequence header and
// the body; signed with our key, encrypted for the receiver's certificate.
std::vector<std::uint8_t> SealAsymmetric(std::vector<std::uint8_t> clear, const ByteString& plain,
                                         const SecurityPolicy& policy, const crypto::PrivateKey& own,
                                         const crypto::Certificate& receiver);

// The secured bytes of a MSG or CLO chunk under the sender's keys: decrypted
// (SignAndEncrypt), its HMAC and padding checked. clearSize: message header
// and token id. Returns the sequence header and the body.
ByteString OpenSymmetric(const std::uint8_t* chunk, std::size_t size, std::size_t clearSize,
                         const SecurityPolicy& policy, SecurityMode mode, const SymmetricKeys& keys);

// A whole MSG or CLO chunk under our keys; plain is the sequence header and body.
std::vector<std::uint8_t> SealSymmetric(std::vector<std::uint8_t> clear, const std::uint8_t* plain,
                                        std::size_t plainSize, const SecurityPolicy& policy, SecurityMode mode,
                                        const SymmetricKeys& keys);

// The largest body (after the sequence header) a MSG chunk of at most
// chunkLimit bytes carries under the policy and mode.
std::size_t MaxSymmetricBody(std::size_t chunkLimit, const SecurityPolicy& policy, SecurityMode mode);

// The most any symmetric chunk spends on headers, padding, signature and
// block alignment under any policy: what the Hello's chunk count allows for,
// before the client has chosen its security.
inline constexpr std::size_t kMaxSymmetricOverhead = 16 + 8 + 32 + 1 + 2 * 16;

}  // namespace ua::chunk
