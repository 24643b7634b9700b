#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QProcessEnvironment>
#include <QString>
#include <QStringView>

// File names and environment values are bytes, which need not be UTF-8. Qt decodes bytes that
// are not UTF-8 to U+FFFD, so a home folder named in Latin-1 would become another folder. These
// keep every byte: valid UTF-8 reads as text, each other byte as a lone surrogate U+DC80 to
// U+DCFF that encodes back to that byte.
QString decodeNativeName(QByteArrayView bytes);
QByteArray encodeNativeName(QStringView name);

// A variable's name as QProcessEnvironment can hold it: that class converts names to UTF-8 and
// back, which keeps no lone surrogate, so an escaped byte is written as U+FDD0 and the byte's
// Latin-1 character instead (and U+FDD0 itself doubled). Values are held as they are given.
QString decodeEnvironmentName(QByteArrayView bytes);
QByteArray encodeEnvironmentName(QStringView name);

// The process's environment read byte for byte from environ, decoded as above.
QProcessEnvironment nativeSystemEnvironment();
