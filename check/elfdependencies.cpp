#include "elfdependencies.h"

#include <QByteArray>
#include <QVector>

#include <QSysInfo>

#include <cstring>
#include <elf.h>
#include <unistd.h>

namespace {
// Bounds no sane program comes near: broken or hostile headers are refused, not followed.
constexpr quint64 MaxHeaders = 256;
constexpr quint64 MaxSection = 1024 * 1024;

QByteArray readAt(int fd, quint64 offset, quint64 size)
{
    if (size > MaxSection) {
        return QByteArray();
    }
    QByteArray bytes(int(size), Qt::Uninitialized);
    return pread(fd, bytes.data(), size, off_t(offset)) == ssize_t(size) ? bytes : QByteArray();
}

template<typename Ehdr, typename Phdr, typename Dyn>
bool readHeaders(int fd, ElfDependencies *dependencies)
{
    Ehdr header;
    if (pread(fd, &header, sizeof header, 0) != ssize_t(sizeof header) || header.e_phentsize != sizeof(Phdr) || header.e_phnum > MaxHeaders) {
        return false;
    }
    const QByteArray table = readAt(fd, header.e_phoff, quint64(header.e_phnum) * sizeof(Phdr));
    if (table.size() != int(header.e_phnum * sizeof(Phdr))) {
        return false;
    }
    const auto *programHeaders = reinterpret_cast<const Phdr *>(table.constData());
    QVector<Phdr> loads;
    QByteArray dynamic;
    for (int i = 0; i < header.e_phnum; ++i) {
        const Phdr &segment = programHeaders[i];
        if (segment.p_type == PT_LOAD) {
            loads.append(segment);
        } else if (segment.p_type == PT_INTERP) {
            dependencies->interpreter = QString::fromLocal8Bit(readAt(fd, segment.p_offset, segment.p_filesz).constData());
        } else if (segment.p_type == PT_DYNAMIC) {
            dynamic = readAt(fd, segment.p_offset, segment.p_filesz);
        }
    }
    // The string table is named by its address: find the file offset of that address.
    quint64 strtab = 0;
    quint64 strsz = 0;
    QVector<quint64> needed;
    QVector<quint64> paths;
    const auto *entries = reinterpret_cast<const Dyn *>(dynamic.constData());
    for (int i = 0; i < int(dynamic.size() / sizeof(Dyn)) && entries[i].d_tag != DT_NULL; ++i) {
        const quint64 value = entries[i].d_un.d_val;
        switch (entries[i].d_tag) {
        case DT_NEEDED:
            needed.append(value);
            break;
        case DT_RUNPATH:
        case DT_RPATH:
            paths.append(value);
            break;
        case DT_STRTAB:
            strtab = value;
            break;
        case DT_STRSZ:
            strsz = value;
            break;
        }
    }
    QByteArray strings;
    for (const Phdr &segment : qAsConst(loads)) {
        if (strtab >= segment.p_vaddr && strtab - segment.p_vaddr < segment.p_filesz) {
            strings = readAt(fd, segment.p_offset + (strtab - segment.p_vaddr), strsz);
        }
    }
    const auto text = [&strings](quint64 offset) {
        return offset < quint64(strings.size())
            ? QString::fromLocal8Bit(strings.constData() + offset, int(qstrnlen(strings.constData() + offset, strings.size() - offset)))
            : QString();
    };
    for (const quint64 offset : qAsConst(needed)) {
        dependencies->needed.append(text(offset));
    }
    for (const quint64 offset : qAsConst(paths)) {
        dependencies->searchPaths += text(offset).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    }
    dependencies->needed.removeAll(QString());
    return true;
}
}

bool ElfDependencies::read(int fd)
{
    unsigned char ident[EI_NIDENT];
    if (pread(fd, ident, sizeof ident, 0) != ssize_t(sizeof ident) || memcmp(ident, ELFMAG, SELFMAG) != 0) {
        return false;
    }
    const int nativeOrder = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? ELFDATA2LSB : ELFDATA2MSB;
    if (ident[EI_DATA] != nativeOrder) {
        return false;
    }
    if (ident[EI_CLASS] == ELFCLASS64) {
        return readHeaders<Elf64_Ehdr, Elf64_Phdr, Elf64_Dyn>(fd, this);
    }
    return ident[EI_CLASS] == ELFCLASS32 && readHeaders<Elf32_Ehdr, Elf32_Phdr, Elf32_Dyn>(fd, this);
}
