#pragma once
// Gives a variable a value for a scope: the earlier value comes back when the scope is left, an
// exception included.

template <class T>
class ScopedValue {
  public:
    ScopedValue(T& slot, T value) : slot_(slot), saved_(slot) { slot_ = value; }
    ScopedValue(const ScopedValue&) = delete;
    ScopedValue& operator=(const ScopedValue&) = delete;
    ~ScopedValue() { slot_ = saved_; }

  private:
    T& slot_;
    const T saved_;
};
