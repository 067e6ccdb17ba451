// SHA-256 (FIPS 180-4), to recognise a manifest by its bytes.
#ifndef KELVOR_BATCH_SHA256_H
#define KELVOR_BATCH_SHA256_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvor::frontend {

class Sha256 {
public:
    Sha256();
    void update(const void* data, size_t size);
    // The digest as 64 lowercase hex digits; the object is used up.
    std::string hex();

private:
    void block(const unsigned char* p);
    uint32_t state_[8];
    unsigned char pending_[64];
    size_t pending_size_ = 0;
    uint64_t total_ = 0;
};

}  // namespace kelvor::frontend

#endif
