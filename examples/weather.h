// SPDX-License-Identifier: MIT
// What the two examples print of the shipped sample: a few of its values, so that the suite can
// check that the parse saw the plain document. Any other document says what it lacks instead.

#ifndef XORCODEC_EXAMPLES_WEATHER_H_
#define XORCODEC_EXAMPLES_WEATHER_H_

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

// Prints the station; where `doc` is no such document, says on one line of standard error, after
// `program` and `name`, what it lacks, and returns false.
inline bool PrintStation(const nlohmann::json& doc, const char* program, const char* name) {
  try {
    std::string sensors;
    for (const auto& sensor : doc.at("sensors")) {
      const auto& readings = sensor.at("readings");
      if (readings.empty()) throw std::out_of_range("a sensor without readings");
      sensors += " " + sensor.at("id").get<std::string>() + "=" + readings.back().dump();
    }
    std::printf("%s, %d m:%s; %s\n", doc.at("station").get<std::string>().c_str(),
                doc.at("location").at("elevation_m").get<int>(), sensors.c_str(),
                doc.at("flags").at("tags").dump().c_str());
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s: not a station's document: %s\n", program, name, e.what());
    return false;
  }
}

#endif  // XORCODEC_EXAMPLES_WEATHER_H_
