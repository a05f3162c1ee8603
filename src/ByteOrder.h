#pragma once

#include <QByteArray>
#include <QtGlobal>

// Little-endian helpers for packet headers, instruction payloads and stream
// samples.

// Appends the low byte of value, then its high byte.
void appendUInt16LE(QByteArray &bytes, quint16 value);
// Appends the four bytes of value, least significant first.
void appendUInt32LE(QByteArray &bytes, quint32 value);

// bytes[pos] + 256 * bytes[pos + 1]. The bytes often come from an instrument,
// so a position whose bytes are not all inside the array yields 0 instead of
// reading past the end.
quint16 readUInt16LE(const QByteArray &bytes, int pos);
// The value of bytes[pos .. pos + 3], least significant first; 0 when those
// bytes are not all inside the array.
quint32 readUInt32LE(const QByteArray &bytes, int pos);
