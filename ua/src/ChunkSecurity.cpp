#include "ChunkSecurity.h"

#include <openssl/crypto.h>

#include <string>

namespace ua::chunk {

namespace {

// Message header 12 bytes (type, size, channel id) and the token id.
constexpr std::size_t kSymmetricClear = 16;
constexpr std::size_t kSequenceHeader = 8;
// RSA keys above 2048 bits pad in blocks larger than one byte can count.
constexpr std::size_t kExtraPaddingFrom = 256;

ByteString ToBytes(const std::uint8_t* data, std::size_t size) {
    return ByteString(reinterpret_cast<const char*>(data), size);
}

void PatchSize(std::vector<std::uint8_t>& chunk, std::size_t size) {
    const auto value = static_cast<std::uint32_t>(size);
    for (int i = 0; i < 4; ++i) chunk[4 + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Appends PaddingSize, the padding bytes and, for large blocks, ExtraPaddingSize.
void AppendPadding(ByteString& out, std::size_t count, bool extra) {
    const char low = static_cast<char>(count & 0xFF);
    out.push_back(low);
    out.append(count, low);
    if (extra) out.push_back(static_cast<char>((count >> 8) & 0xFF));
}

// The length of plain without its padding (everything up to the signature
// is given: signedEnd); throws when the padding is not what the sender must write.
std::size_t StripPadding(const ByteString& plain, std::size_t signedEnd, bool extra) {
    const std::size_t fieldBytes = extra ? 2 : 1;
    if (signedEnd < kSequenceHeader + fieldBytes) throw SecurityFault(status::BadSecurityChecksFailed, "a chunk too short for its padding");
    const auto low = static_cast<std::uint8_t>(plain[signedEnd - fieldBytes]);
    std::size_t count = low;
    if (extra) count |= static_cast<std::size_t>(static_cast<std::uint8_t>(plain[signedEnd - 1])) << 8;
    const std::size_t padded = count + fieldBytes;
    if (signedEnd < kSequenceHeader + padded) throw SecurityFault(status::BadSecurityChecksFailed, "padding longer than the chunk");
    const std::size_t start = signedEnd - padded;
    // PaddingSize and every padding byte carry the low byte of the count.
    for (std::size_t i = start; i < start + count + 1; ++i) {
        if (static_cast<std::uint8_t>(plain[i]) != low) throw SecurityFault(status::BadSecurityChecksFailed, "malformed padding");
    }
    return start;
}

}  // namespace

ByteString OpenAsymmetric(const std::uint8_t* chunk, std::size_t size, std::size_t clearSize,
                          const SecurityPolicy& policy, const crypto::PrivateKey& own,
                          const crypto::Certificate& sender) {
    const std::size_t cipherBlock = own.SizeBytes();
    const std::size_t plainBlock = cipherBlock - crypto::OaepOverhead(policy.asymmetricEncryption);
    if (clearSize > size || size - clearSize == 0 || (size - clearSize) % cipherBlock != 0)
        throw SecurityFault(status::BadSecurityChecksFailed, "encrypted bytes that are not whole blocks of our key");
    ByteString plain;
    try {
        plain = own.Decrypt(ToBytes(chunk + clearSize, size - clearSize), policy.asymmetricEncryption);
    } catch (const crypto::CryptoError&) {
        throw SecurityFault(status::BadSecurityChecksFailed, "a chunk that does not decrypt with our key");
    }
    if (plain.size() != (size - clearSize) / cipherBlock * plainBlock)
        throw SecurityFault(status::BadSecurityChecksFailed, "encrypted blocks not filled");
    const std::size_t signatureSize = sender.KeySizeBytes();
    if (plain.size() < signatureSize + kSequenceHeader)
        throw SecurityFault(status::BadSecurityChecksFailed, "a chunk shorter than its signature");
    const std::size_t signedEnd = plain.size() - signatureSize;
    ByteString signedData = ToBytes(chunk, clearSize);
    signedData.append(plain, 0, signedEnd);
    if (!sender.Verify(signedData, plain.substr(signedEnd), policy.asymmetricSignature))
        throw SecurityFault(status::BadSecurityChecksFailed, "a signature that does not verify with the client's certificate");
    plain.resize(StripPadding(plain, signedEnd, cipherBlock > kExtraPaddingFrom));
    return plain;
}

std::vector<std::uint8_t> SealAsymmetric(std::vector<std::uint8_t> clear, const ByteString& plain,
                                         const SecurityPolicy& policy, const crypto::PrivateKey& own,
                                         const crypto::Certificate& receiver) {
    const std::size_t cipherBlock = receiver.KeySizeBytes();
    const std::size_t plainBlock = cipherBlock - crypto::OaepOverhead(policy.asymmetricEncryption);
    const bool extra = cipherBlock > kExtraPaddingFrom;
    const std::size_t signatureSize = own.SizeBytes();
    const std::size_t fixed = plain.size() + 1 + (extra ? 1 : 0) + signatureSize;
    const std::size_t padding = (plainBlock - fixed % plainBlock) % plainBlock;
    const std::size_t encryptedSize = (fixed + padding) / plainBlock * cipherBlock;
    PatchSize(clear, clear.size() + encryptedSize);

    ByteString body = plain;
    AppendPadding(body, padding, extra);
    ByteString signedData = ToBytes(clear.data(), clear.size());
    signedData += body;
    body += own.Sign(signedData, policy.asymmetricSignature);
    const ByteString encrypted = receiver.Encrypt(body, policy.asymmetricEncryption);
    if (encrypted.size() != encryptedSize) throw crypto::CryptoError("an encrypted chunk of an unexpected size");
    clear.insert(clear.end(), encrypted.begin(), encrypted.end());
    return clear;
}

ByteString OpenSymmetric(const std::uint8_t* chunk, std::size_t size, std::size_t clearSize,
                         const SecurityPolicy& policy, SecurityMode mode, const SymmetricKeys& keys) {
    if (clearSize > size) throw SecurityFault(status::BadSecurityChecksFailed, "a chunk shorter than its header");
    ByteString plain = ToBytes(chunk + clearSize, size - clearSize);
    const bool encrypted = mode == SecurityMode::SignAndEncrypt;
    if (encrypted) {
        if (plain.empty() || plain.size() % policy.blockSize != 0)
            throw SecurityFault(status::BadSecurityChecksFailed, "encrypted bytes that are not whole cipher blocks");
        plain = crypto::AesCbcDecrypt(keys.encryptingKey, keys.iv, plain);
    }
    const std::size_t signatureSize = policy.symmetricSignatureSize;
    if (plain.size() < signatureSize + kSequenceHeader)
        throw SecurityFault(status::BadSecurityChecksFailed, "a chunk shorter than its signature");
    const std::size_t signedEnd = plain.size() - signatureSize;
    ByteString signedData = ToBytes(chunk, clearSize);
    signedData.append(plain, 0, signedEnd);
    const ByteString expected = crypto::HmacSha256(keys.signingKey, signedData);
    if (expected.size() != signatureSize ||
        CRYPTO_memcmp(expected.data(), plain.data() + signedEnd, signatureSize) != 0)
        throw SecurityFault(status::BadSecurityChecksFailed, "a signature that does not match the channel's keys");
    plain.resize(encrypted ? StripPadding(plain, signedEnd, false) : signedEnd);
    return plain;
}

std::vector<std::uint8_t> SealSymmetric(std::vector<std::uint8_t> clear, const std::uint8_t* plain,
                                        std::size_t plainSize, const SecurityPolicy& policy, SecurityMode mode,
                                        const SymmetricKeys& keys) {
    const bool encrypted = mode == SecurityMode::SignAndEncrypt;
    const std::size_t signatureSize = policy.symmetricSignatureSize;
    ByteString body = ToBytes(plain, plainSize);
    if (encrypted) {
        const std::size_t fixed = plainSize + 1 + signatureSize;
        AppendPadding(body, (policy.blockSize - fixed % policy.blockSize) % policy.blockSize, false);
    }
    PatchSize(clear, clear.size() + body.size() + signatureSize);
    ByteString signedData = ToBytes(clear.data(), clear.size());
    signedData += body;
    body += crypto::HmacSha256(keys.signingKey, signedData);
    if (encrypted) body = crypto::AesCbcEncrypt(keys.encryptingKey, keys.iv, body);
    clear.insert(clear.end(), body.begin(), body.end());
    return clear;
}

std::size_t MaxSymmetricBody(std::size_t chunkLimit, const SecurityPolicy& policy, SecurityMode mode) {
    if (policy.none || mode == SecurityMode::None) return chunkLimit - kSymmetricClear - kSequenceHeader;
    const std::size_t secured = chunkLimit - kSymmetricClear;
    if (mode == SecurityMode::Sign) return secured - kSequenceHeader - policy.symmetricSignatureSize;
    // Whole cipher blocks, at least the PaddingSize byte.
    return secured / policy.blockSize * policy.blockSize - kSequenceHeader - policy.symmetricSignatureSize - 1;
}

}  // namespace ua::chunk
