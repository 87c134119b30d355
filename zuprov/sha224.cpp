#include "zuprov/sha224.h"

#include <cstring>
#include <new>

namespace zuprov {

namespace {

constexpr uint32_t kBlock = 64;
constexpr uint32_t kSize = 28;

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t Rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

class Sha224 {
  public:
    Sha224() { Reset(); }

    void Reset() {
        static constexpr uint32_t kInit[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                              0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};
        std::memcpy(h_, kInit, sizeof h_);
        length_ = 0;
        used_ = 0;
    }

    void Update(const uint8_t* data, uint32_t len) {
        length_ += len;
        while (len) {
            uint32_t take = kBlock - used_ < len ? kBlock - used_ : len;
            std::memcpy(block_ + used_, data, take);
            used_ += take;
            data += take;
            len -= take;
            if (used_ == kBlock) {
                Compress(block_);
                used_ = 0;
            }
        }
    }

    void Final(uint8_t* out) {
        uint64_t bits = length_ * 8;
        static const uint8_t kPad[kBlock] = {0x80};
        Update(kPad, used_ < 56 ? 56 - used_ : 120 - used_);
        uint8_t tail[8];
        for (int i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        Update(tail, 8);
        for (uint32_t i = 0; i < kSize; ++i)
            out[i] = static_cast<uint8_t>(h_[i / 4] >> (24 - 8 * (i % 4)));
        Reset();
    }

  private:
    void Compress(const uint8_t* p) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t{p[4 * i]} << 24 | uint32_t{p[4 * i + 1]} << 16 |
                   uint32_t{p[4 * i + 2]} << 8 | p[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6],
                 h = h_[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                          kRound[i] + w[i];
            uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h_[0] += a;
        h_[1] += b;
        h_[2] += c;
        h_[3] += d;
        h_[4] += e;
        h_[5] += f;
        h_[6] += g;
        h_[7] += h;
    }

    uint32_t h_[8];
    uint64_t length_;
    uint8_t block_[kBlock];
    uint32_t used_;
};

class Sha224State final : public HashState {
  public:
    // keyed: HMAC, whose inner and outer pads are kept to restart after Finish.
    Sha224State(bool keyed, const uint8_t* key, uint32_t keyLen) : keyed_(keyed) {
        if (!keyed) return;
        uint8_t k[kBlock] = {};
        if (keyLen > kBlock) {
            Sha224 kh;
            kh.Update(key, keyLen);
            kh.Final(k);
        } else if (keyLen) {
            std::memcpy(k, key, keyLen);
        }
        for (uint32_t i = 0; i < kBlock; ++i) {
            ipad_[i] = k[i] ^ 0x36;
            opad_[i] = k[i] ^ 0x5c;
        }
        std::memset(k, 0, sizeof k);
        inner_.Update(ipad_, kBlock);
    }
    ~Sha224State() override {
        // The pads are the key in thin disguise.
        volatile uint8_t* p = ipad_;
        volatile uint8_t* q = opad_;
        for (uint32_t i = 0; i < kBlock; ++i) {
            p[i] = 0;
            q[i] = 0;
        }
    }

    bool Update(const uint8_t* data, uint32_t len) override {
        inner_.Update(data, len);
        return true;
    }
    bool Finish(uint8_t* out) override {
        inner_.Final(out);
        if (keyed_) {
            Sha224 outer;
            outer.Update(opad_, kBlock);
            outer.Update(out, kSize);
            outer.Final(out);
            inner_.Update(ipad_, kBlock);
        }
        return true;
    }

  private:
    bool keyed_;
    Sha224 inner_;
    uint8_t ipad_[kBlock] = {};
    uint8_t opad_[kBlock] = {};
};

}  // namespace

std::unique_ptr<HashState> NewSha224(bool keyed, const uint8_t* key, uint32_t keyLen) {
    return std::unique_ptr<HashState>(new (std::nothrow) Sha224State(keyed, key, keyLen));
}

}  // namespace zuprov
