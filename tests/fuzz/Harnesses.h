#pragma once
// The fuzz harnesses as plain functions, for the corpus replay test.
#include <cstddef>
#include <cstdint>

int fuzzModbusReceive(const uint8_t *data, size_t size);
int fuzzSettingsFiles(const uint8_t *data, size_t size);
int fuzzHistoryRows(const uint8_t *data, size_t size);
int fuzzMqttReader(const uint8_t *data, size_t size);
int fuzzSitePayloads(const uint8_t *data, size_t size);
int fuzzCopyText(const uint8_t *data, size_t size);
