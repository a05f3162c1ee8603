#pragma once

#include <QVector>
#include <QtGlobal>
#include <array>
#include <cstddef>
#include <deque>
#include <vector>

// The values of one measurement, per channel (1, 2) as rows numbered from 0:
// one row per sweep point, or one row holding every value. A row is complete
// once every enabled channel holds all its samples; complete rows can be
// released from the front, which frees their values while the rows after them
// keep their numbers. Not locked itself: the device that owns it guards it
// with its device lock. Every copy costs what it copies.
class ResultRows
{
public:
    // OneRow: generation I, whose single row holds every value and exists for
    // any channel; its sizes report the value count as rows and 0 columns.
    // RowPerPoint: generation II, a row per sweep point, created when the
    // point's first values arrive.
    enum class Shape { OneRow, RowPerPoint };

    explicit ResultRows(Shape shape) : m_shape(shape) {}

    // Discards every row for a new measurement.
    void reset();
    // The values the measurement holds once complete.
    void setExpected(qint64 expected) { m_expected = expected; }

    // Room for `n` more values at the end of row `row` of `channel` (1 or 2),
    // creating the row (and any missing before it) first; a new row reserves
    // room for `rowLength` values at once. Null when the row was released.
    // Throws std::bad_alloc, changing nothing, when the room cannot be had.
    double *extend(int channel, int row, int n, int rowLength);
    // The next row has become complete.
    void completeRow() { m_completed = m_shape == Shape::OneRow ? 1 : m_completed + 1; }
    // The measurement could not be held (allocation failure): it ends there,
    // its rows kept. Cleared by reset.
    void setFailed() { m_failed = true; }
    bool failed() const { return m_failed; }

    int completedRows() const { return m_completed; }
    int firstHeld() const { return m_firstHeld; }
    qint64 received() const { return m_received; }
    qint64 expected() const { return m_expected; }

    // Frees every row below `row` on every channel. 26 unless `row` lies
    // between the first row still held and the number of complete rows.
    int release(int row);

    // Row `row` of `channel` with the capacity rule of the exports: writes
    // the count, then 28 (no value copied) when capacity is less; 26 for a
    // row never measured, 29 for a released one.
    int copyRow(int channel, int row, double *values, int capacity, int *count) const;
    // Row 0 of `channel`; empty (count 0) once released, and for a channel
    // without values.
    int copyFirstRow(int channel, double *values, int capacity, int *count) const;
    // The values of every held row of `channel`, row after row; 26 when
    // there are some and `values` is null.
    int copyHeldRows(int channel, double *values) const;
    // Rows measured so far, released ones included, and the length of the
    // first held row (see Shape for OneRow).
    void sizes(int channel, int *rows, int *columns) const;

    // Copies for the device's own users (tests, tools in C++).
    QVector<double> firstRow(int channel) const;
    QVector<QVector<double>> heldRows(int channel) const;

private:
    // Row storage straight from the operating system's pages once a row is
    // large (64 KiB and more), so that a released row gives its memory back
    // at once: from the C library's heap, the rows of a long sweep that are
    // taken and released would leave it fragmented and growing.
    static void *allocatePages(std::size_t bytes);
    static void freePages(void *memory, std::size_t bytes);
    template <typename T>
    struct PageAllocator {
        using value_type = T;
        PageAllocator() = default;
        template <typename U>
        PageAllocator(const PageAllocator<U> &) {}
        T *allocate(std::size_t n) { return static_cast<T *>(allocatePages(n * sizeof(T))); }
        void deallocate(T *p, std::size_t n) { freePages(p, n * sizeof(T)); }
        bool operator==(const PageAllocator &) const { return true; }
        bool operator!=(const PageAllocator &) const { return false; }
    };
    using Row = std::vector<double, PageAllocator<double>>;

    struct Channel {
        std::deque<Row> rows; // the held rows, from `first` on
        int first = 0;                        // the number of rows[0]
        qint64 values = 0;                    // every value appended, released ones included
    };

    const Channel *channelAt(int channel) const;
    // Rows of `channel` measured so far, released ones included.
    int rowCount(int channel) const;
    // The held row, or null.
    const Row *heldRow(int channel, int row) const;

    Shape m_shape;
    std::array<Channel, 2> m_channels;
    int m_completed = 0;
    int m_firstHeld = 0;
    qint64 m_received = 0;
    qint64 m_expected = 0;
    bool m_failed = false;
};
