// Reading one line of FTP control traffic as a data-port announcement: the
// server's passive replies ("227 ", "228 ", "229 ") and the client's active
// commands ("PORT ", "LPRT ", "EPRT "). Both the rewriting of received lines
// and the watch over the local FTP program's own lines read them here.
//
// Every number is read with its range checked: the six numbers of 227 and
// PORT are 0 to 255 each, a port is 1 to 65535. A line that ends inside its
// last number (the end of a packet) is not read as a port.
#pragma once

#include <cstddef>
#include <cstdint>

enum class QV_FTPFORM {
    None,             // not an announcement
    Passive,          // 227
    LongPassive,      // 228
    ExtendedPassive,  // 229
    Port,             // PORT
    LongPort,         // LPRT
    Eprt,             // EPRT
};

struct QV_FTPANNOUNCEMENT {
    QV_FTPFORM form = QV_FTPFORM::None;
    // The announced port could be read (IPv4, 1 to 65535): port holds it.
    bool usable = false;
    int32_t port = 0;

    bool isAnnouncement() const { return form != QV_FTPFORM::None; }
    // A server's reply, going to the FTP client; otherwise a client's
    // command, going to the FTP server.
    bool isReply() const
    {
        return form == QV_FTPFORM::Passive || form == QV_FTPFORM::LongPassive || form == QV_FTPFORM::ExtendedPassive;
    }
};

// `line`: the bytes of one line, its line end included when there is one.
QV_FTPANNOUNCEMENT readFtpAnnouncement(const uint8_t* line, size_t length);

// True when `line`, the beginning of a line whose end has not come yet, is
// read as an announcement already or may still become one: it begins with
// an announcement's word, or it is a beginning of one ("2", "22", "po").
// Letters are compared without case.
bool mayBecomeFtpAnnouncement(const uint8_t* line, size_t length);

// The length of the line that starts at data[pos]: up to and including the
// next '\n', or to the end of the data.
size_t ftpLineLength(const uint8_t* data, size_t length, size_t pos);
