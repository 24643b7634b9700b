#pragma once

#include <QString>
#include <cerrno>
#include <optional>
#include <utility>
#include <variant>

// A failed operation on files, folders or the server's process, described as the system
// describes it. The one way the core reports a failure: inside an Expected.
struct FileError
{
    QString description;

    // "<what>: <the system's text for errno>", for example
    // "Cannot create the folder /x/streaming-cache: File exists".
    static FileError fromErrno(int error, const QString& what);
};

// A value, or the failure that kept it from being made. Deliberately not convertible to bool,
// so that no caller reads a success as a failure or the other way round: ask ok().
template <class T> class [[nodiscard]] Expected
{
public:
    Expected(T value) : m_value(std::move(value)) {}
    Expected(FileError error) : m_value(std::move(error)) {}
    bool ok() const { return std::holds_alternative<T>(m_value); }
    T& value() { return std::get<T>(m_value); }
    const T& value() const { return std::get<T>(m_value); }
    const FileError& error() const { return std::get<FileError>(m_value); }

private:
    std::variant<T, FileError> m_value;
};

// Success, or the failure.
template <> class [[nodiscard]] Expected<void>
{
public:
    Expected() = default;
    Expected(FileError error) : m_error(std::move(error)) {}
    bool ok() const { return !m_error; }
    const FileError& error() const { return *m_error; }

private:
    std::optional<FileError> m_error;
};
