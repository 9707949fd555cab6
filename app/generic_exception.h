// The uploader's failure: a pointer to a static message text, never copied or owned.
#ifndef QUORVANE_GENERIC_EXCEPTION_H
#define QUORVANE_GENERIC_EXCEPTION_H

#include <exception>

class GenericException : public std::exception {
public:
    explicit GenericException(const char* text) noexcept : msg(text) {}
    const char* what() const noexcept override { return msg; }

private:
    const char* msg;
};

#endif
