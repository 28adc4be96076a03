#pragma once
// A fresh temporary folder per test, removed afterwards.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

class TestDir {
public:
    TestDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() / ("kiv-app-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TestDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TestDir(const TestDir&) = delete;
    TestDir& operator=(const TestDir&) = delete;

    std::string Path() const { return path_.string(); }
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string file = (path_ / name).string();
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }

private:
    std::filesystem::path path_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
