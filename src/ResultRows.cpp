#include "ResultRows.h"

#include <algorithm>
#include <climits>
#include <new>

#if defined(_WIN32)
#define NOMINMAX // std::min and std::max, not the macros
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace {

constexpr int InvalidArgument = 26;
constexpr int BufferTooSmall = 28;
constexpr int RowReleased = 29;

template <typename Values>
int copyOut(const Values *row, double *values, int capacity, int *count)
{
    const int size = row ? int(row->size()) : 0;
    *count = size;
    if (capacity < size)
        return BufferTooSmall;
    if (size > 0)
        std::copy(row->begin(), row->end(), values);
    return 0;
}

} // namespace

namespace {

constexpr std::size_t PageRowBytes = 64 * 1024;

} // namespace

void *ResultRows::allocatePages(std::size_t bytes)
{
    if (bytes < PageRowBytes)
        return ::operator new(bytes);
#if defined(_WIN32)
    void *memory = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!memory)
        throw std::bad_alloc();
#else
    void *memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
#endif
    return memory;
}

void ResultRows::freePages(void *memory, std::size_t bytes)
{
    if (bytes < PageRowBytes) {
        ::operator delete(memory);
        return;
    }
#if defined(_WIN32)
    VirtualFree(memory, 0, MEM_RELEASE);
#else
    munmap(memory, bytes);
#endif
}

void ResultRows::reset()
{
    // Swapped out rather than cleared, so the memory goes back at once.
    std::array<Channel, 2> none;
    m_channels.swap(none);
    m_completed = 0;
    m_firstHeld = 0;
    m_received = 0;
    m_expected = 0;
    m_failed = false;
}

double *ResultRows::extend(int channel, int row, int n, int rowLength)
{
    Channel &c = m_channels[size_t(channel - 1)];
    if (row < c.first)
        return nullptr;
    while (c.first + int(c.rows.size()) <= row)
        c.rows.emplace_back();
    Row &values = c.rows[size_t(row - c.first)];
    const size_t size = values.size();
    if (values.capacity() == 0)
        values.reserve(size_t(std::max(n, rowLength)));
    values.resize(size + size_t(n));
    c.values += n;
    m_received += n;
    return values.data() + size;
}

int ResultRows::release(int row)
{
    if (row < m_firstHeld || row > m_completed)
        return InvalidArgument;
    for (Channel &c : m_channels) {
        while (c.first < row && !c.rows.empty()) {
            c.rows.pop_front();
            ++c.first;
        }
        if (c.rows.empty())
            c.rows.shrink_to_fit();
    }
    m_firstHeld = row;
    return 0;
}

const ResultRows::Channel *ResultRows::channelAt(int channel) const
{
    return channel == 1 || channel == 2 ? &m_channels[size_t(channel - 1)] : nullptr;
}

int ResultRows::rowCount(int channel) const
{
    if (m_shape == Shape::OneRow)
        return 1;
    const Channel *c = channelAt(channel);
    return c ? c->first + int(c->rows.size()) : 0;
}

const ResultRows::Row *ResultRows::heldRow(int channel, int row) const
{
    const Channel *c = channelAt(channel);
    if (!c || row < m_firstHeld || row < c->first || row >= c->first + int(c->rows.size()))
        return nullptr;
    return &c->rows[size_t(row - c->first)];
}

int ResultRows::copyRow(int channel, int row, double *values, int capacity, int *count) const
{
    if (row < 0 || row >= rowCount(channel))
        return InvalidArgument;
    if (row < m_firstHeld)
        return RowReleased;
    return copyOut(heldRow(channel, row), values, capacity, count);
}

int ResultRows::copyFirstRow(int channel, double *values, int capacity, int *count) const
{
    return copyOut(heldRow(channel, 0), values, capacity, count);
}

int ResultRows::copyHeldRows(int channel, double *values) const
{
    const Channel *c = channelAt(channel);
    if (!c)
        return 0;
    const auto from = c->rows.begin() + std::min<qint64>(std::max(0, m_firstHeld - c->first), qint64(c->rows.size()));
    if (!values)
        return std::all_of(from, c->rows.end(), [](const Row &row) { return row.empty(); })
                   ? 0
                   : InvalidArgument;
    double *out = values;
    for (auto row = from; row != c->rows.end(); ++row)
        out = std::copy(row->begin(), row->end(), out);
    return 0;
}

void ResultRows::sizes(int channel, int *rows, int *columns) const
{
    const Channel *c = channelAt(channel);
    if (m_shape == Shape::OneRow) {
        *rows = c ? int(std::min<qint64>(c->values, INT_MAX)) : 0;
        *columns = 0;
        return;
    }
    *rows = rowCount(channel);
    const Row *first = c ? heldRow(channel, std::max(m_firstHeld, c->first)) : nullptr;
    *columns = first ? int(first->size()) : 0;
}

QVector<double> ResultRows::firstRow(int channel) const
{
    const Row *row = heldRow(channel, 0);
    return row ? QVector<double>(row->begin(), row->end()) : QVector<double>();
}

QVector<QVector<double>> ResultRows::heldRows(int channel) const
{
    QVector<QVector<double>> rows;
    if (m_shape == Shape::OneRow) {
        if (m_firstHeld == 0)
            rows.append(firstRow(channel));
        return rows;
    }
    const Channel *c = channelAt(channel);
    if (!c)
        return rows;
    for (int row = std::max(m_firstHeld, c->first); row < c->first + int(c->rows.size()); ++row) {
        const Row &values = c->rows[size_t(row - c->first)];
        rows.append(QVector<double>(values.begin(), values.end()));
    }
    return rows;
}
