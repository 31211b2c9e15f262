// SPDX-License-Identifier: MIT
// What the two examples print of the shipped sample: a few of its values, so that the suite can
// check that the parse saw the plain document.

#ifndef XORCODEC_EXAMPLES_WEATHER_H_
#define XORCODEC_EXAMPLES_WEATHER_H_

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

inline void PrintStation(const nlohmann::json& doc) {
  std::string sensors;
  for (const auto& sensor : doc.at("sensors")) {
    sensors += " " + sensor.at("id").get<std::string>() + "=" + sensor.at("readings").back().dump();
  }
  std::printf("%s, %d m:%s; %s\n", doc.at("station").get<std::string>().c_str(),
              doc.at("location").at("elevation_m").get<int>(), sensors.c_str(),
              doc.at("flags").at("tags").dump().c_str());
}

#endif  // XORCODEC_EXAMPLES_WEATHER_H_
