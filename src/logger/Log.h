#pragma once

#include <cstdio>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>

namespace YultService::Logger {

/// Console log: one line per call, prefixed with "YultService: ", no timestamps, no file.
class Log
{
  public:
    /// info and warn write only when verbose is true.
    explicit Log(bool verbose);

    /// Failures the user must see: standard error, always.
    static void error(const std::string& message);
    /// Outcomes the caller parses: standard output, always.
    static void result(const std::string& message);
    /// Progress: standard output, verbose mode only.
    void info(const std::string& message) const;
    /// Oddities: standard output, verbose mode only.
    void warn(const std::string& message) const;
    /// Whether info and warn write anything.
    bool isVerbose() const { return verbose; }

    /// The bytes a call writes for the message: the prefix unless it begins with it, the message, a newline.
    static std::string lineOf(const std::string& message);

    /// Writes the prefix unless the message already begins with it.
    static void injectPrefixIfNeeded(std::ostream& stream, const std::string& message);

    /// printf-style formatting into a string; throws std::runtime_error on a format error.
    template <typename... Args>
    static std::string StringFormat(const std::string& format, Args... args)
    {
        const int length = std::snprintf(nullptr, 0, format.c_str(), args...);
        if (length < 0) {
            throw std::runtime_error("error during formatting.");
        }
        const auto size = static_cast<std::size_t>(length) + 1;
        std::unique_ptr<char[]> buffer(new char[size]);
        std::snprintf(buffer.get(), size, format.c_str(), args...);
        return std::string(buffer.get(), buffer.get() + length);
    }

  private:
    static void writeLine(std::ostream& stream, const std::string& message);

    bool verbose;
};

} // namespace YultService::Logger
