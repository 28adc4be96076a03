#pragma once
// A fresh temporary folder per test, removed afterwards.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

class TestDir {
public:
    TestDir() : path_(std::filesystem::temp_directory_path() / ("kiv-test-" + std::to_string(std::random_device{}()))) {
        std::filesystem::create_directories(path_);
    }
    ~TestDir() { std::filesystem::remove_all(path_, ec_); }
    std::string Path() const { return path_.string(); }
    std::string Write(const std::string& name, const std::string& content) const {
        std::ofstream((path_ / name).string(), std::ios::binary) << content;
        return (path_ / name).string();
    }

private:
    std::filesystem::path path_;
    std::error_code ec_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
