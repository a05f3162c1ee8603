// The doctors' report (Linux and Windows): sections, findings that are fine,
// notes, and problems with the commands that fix them; the number of problems
// becomes the exit status.
#ifndef VELDRIN_TOOLS_DOCTORREPORT_H
#define VELDRIN_TOOLS_DOCTORREPORT_H

#include <ostream>
#include <string>
#include <vector>

class DoctorReport
{
public:
    explicit DoctorReport(std::ostream &out) : m_out(out) {}

    void section(const std::string &title) { m_out << "\n" << title << "\n"; }
    void ok(const std::string &text) { m_out << "  ok       " << text << "\n"; }
    void info(const std::string &text) { m_out << "  note     " << text << "\n"; }
    void problem(const std::string &text, const std::vector<std::string> &fixes)
    {
        ++m_problems;
        m_out << "  PROBLEM  " << text << "\n";
        for (size_t i = 0; i < fixes.size(); ++i)
            m_out << (i == 0 ? "    fix:   " : "           ") << fixes[i] << "\n";
    }
    // A problem on the route in use, a note on the other one.
    void problemIf(bool required, const std::string &text, const std::vector<std::string> &fixes)
    {
        if (required) {
            problem(text, fixes);
            return;
        }
        info(text);
        for (const std::string &fix : fixes)
            m_out << "           " << fix << "\n";
    }
    int problems() const { return m_problems; }

private:
    std::ostream &m_out;
    int m_problems = 0;
};

#endif
