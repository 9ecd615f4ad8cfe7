// SPDX-License-Identifier: GPL-2.0-or-later
// Builders for the line forms of the directory's pages, shared by the parser and run tests.
#pragma once

#include <string>

inline std::string IndexLine(const std::string& target, const std::string& name) {
  return "<a class=\"rb\" href=\"" + target + "\" target=\"b\">" + name;
}
// A name line whose name cell starts with nameCell, followed by the homepage link.
inline std::string NameLine(const std::string& nameCell,
                            const std::string& homepage = "http://a.test/") {
  return "<tr><td class=\"name\" valign=\"top\"><span class=\"c\" id=\"r1\">" + nameCell +
         "<a href=\"" + homepage + "\" target=\"_blank\">";
}
inline std::string PlainName(const std::string& name,
                             const std::string& homepage = "http://a.test/") {
  return NameLine("<b>", homepage) + name + "</a></b>";
}
// A stream link line; rateCell is field 2 at ">", e.g. "300K</a".
inline std::string StreamLine(const std::string& url, const std::string& rateCell,
                              const std::string& prefix = "<a class=\"m\"") {
  return prefix + " href=\"javascript:w('2','" + url + "','x')\">" + rateCell + "> <b>";
}
// An about line; aboutCell is field 8 at ">", e.g. "News.</td".
inline std::string AboutLine(const std::string& aboutCell) {
  return " </td><td class=\"q\"><img src=\"q.gif\" alt=\"*\"></td><td class=\"t\">LIVE</td>"
         "<td class=\"a\">" + aboutCell + "></tr>";
}
// The three lines of one complete row, each ended by eol.
inline std::string RowLines(const std::string& name, const std::string& eol = "\n") {
  return PlainName(name) + eol + StreamLine("mms://s.test/" + name, "300K</a") + eol +
         AboutLine(name + " news.</td") + eol;
}
