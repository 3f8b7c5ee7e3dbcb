#include "messenger/noise.h"

#include <sodium.h>

namespace noise {

bool initialize() { return sodium_init() >= 0; }

KeyPair KeyPair::generate()
{
    Key secret;
    randombytes_buf(secret.data(), secret.size());
    KeyPair pair = fromSecret(secret);
    sodium_memzero(secret.data(), secret.size());
    return pair;
}

KeyPair KeyPair::fromSecret(const Key& secret)
{
    KeyPair pair;
    pair.secret = secret;
    crypto_scalarmult_curve25519_base(pair.pub.data(), pair.secret.data());
    return pair;
}

KeyPair::~KeyPair() { sodium_memzero(secret.data(), secret.size()); }

}  // namespace noise
