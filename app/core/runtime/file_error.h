#pragma once

#include <QString>
#include <cerrno>
#include <optional>
#include <utility>
#include <variant>

// A failed file-system operation, described as the system describes it.
struct FileError
{
    int code = 0;
    QString description;

    // "<what>: <the system's text for errno>", for example
    // "Cannot create the folder /x/streaming-cache: File exists".
    static FileError fromErrno(int error, const QString& what);
};

using FileResult = std::optional<FileError>; // empty on success

template <class T> class Expected
{
public:
    Expected(T value) : m_value(std::move(value)) {}
    Expected(FileError error) : m_value(std::move(error)) {}
    bool ok() const { return std::holds_alternative<T>(m_value); }
    T& value() { return std::get<T>(m_value); }
    const FileError& error() const { return std::get<FileError>(m_value); }

private:
    std::variant<T, FileError> m_value;
};
