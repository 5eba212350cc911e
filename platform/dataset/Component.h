#pragma once
// The component base: a name, an owner that frees what it owns (last to first),
// notifications when owned components come and go, and the loading and designing
// flags that component setters consult.
#include <string>
#include <vector>

namespace kura {

class TComponent {
public:
    explicit TComponent(TComponent* owner = nullptr);
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    virtual void SetName(const std::string& name) { name_ = name; }
    const std::vector<TComponent*>& Components() const { return components_; }

    bool Destroying() const { return destroying_; }
    bool Loading() const { return loading_; }
    bool Designing() const { return designing_; }
    void SetDesigning(bool value) { designing_ = value; }
    // Streaming from a form: setters only store while loading; EndLoading calls
    // Loaded on this component and everything it owns.
    void BeginLoading();
    void EndLoading();

protected:
    virtual void Loaded() {}
    // Sent to the owner's other components when a component leaves; the pointer is
    // for comparison only (the component is already partly destroyed).
    virtual void Notification(TComponent*, bool /*inserting*/) {}
    // Set first thing in a destructor chain so that the component's own code can
    // tell it is being destroyed.
    bool destroying_ = false;

private:
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);
    TComponent* owner_;
    std::string name_;
    std::vector<TComponent*> components_;
    bool loading_ = false;
    bool designing_ = false;
};

}  // namespace kura
