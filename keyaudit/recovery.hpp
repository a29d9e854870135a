#pragma once
// The key --recover writes, once it is known.
#include "keyaudit/options.hpp"
#include "keyfile/key_file.hpp"

#include <gmpxx.h>

#include <memory>

namespace keyaudit {

class recovery {
public:
    // Checks where the key goes before anything is read; throws
    // foundation::usage_error or std::system_error.
    explicit recovery(const options& o);

    bool wanted(std::size_t input) const { return to_ != nullptr && input == 0; }

    // Writes the key; false, with a message, when it could not be. The key
    // is compromised all the same.
    // name: the input's, for messages.
    bool write(const std::string& name, const mpz_class& p, const mpz_class& q, const mpz_class& n) const;

private:
    std::unique_ptr<keyfile::destination> to_;
};

}  // namespace keyaudit
