#pragma once

#include <stdexcept>
#include <string>

// The only exception of the application: thrown by the crypto wrapper, caught by its callers.
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string text) : m_text(std::move(text)) {}
    const char *what() const noexcept override { return m_text.c_str(); }

private:
    std::string m_text;
};
