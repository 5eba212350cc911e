#include "report/Control.h"

#include <algorithm>

namespace report {

TControl::TControl() = default;

TControl::~TControl() {
    destroying_ = true;
    while (!children_.empty()) delete children_.back();
    if (parent_) {
        auto& siblings = parent_->children_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
        if (!parent_->destroying_ && align_ != TAlign::alNone) parent_->Realign();
    }
}

void TControl::SetBounds(int left, int top, int width, int height) {
    width = std::max(0, width);
    height = std::max(0, height);
    if (left == left_ && top == top_ && width == width_ && height == height_) return;
    const bool resized = width != width_ || height != height_;
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    if (resized) Resize();
    if (parent_ && parent_->aligning_ == 0 && align_ != TAlign::alNone) parent_->Realign();
}

void TControl::SetVisible(bool visible) {
    if (visible == visible_) return;
    visible_ = visible;
    if (parent_ && align_ != TAlign::alNone) parent_->Realign();
}

void TControl::SetAlign(TAlign align) {
    if (align == align_) return;
    align_ = align;
    if (parent_) parent_->Realign();
}

void TControl::SetParent(TControl* parent) {
    if (parent == parent_) return;
    if (parent_) {
        auto& siblings = parent_->children_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
        if (align_ != TAlign::alNone) parent_->Realign();
    }
    parent_ = parent;
    if (parent_) {
        if (ParentFont) Font = parent_->Font;
        parent_->children_.push_back(this);
        if (align_ != TAlign::alNone) parent_->Realign();
    }
}

TControl* TControl::FindChild(const std::string& name) const {
    for (TControl* child : children_) {
        if (child->Name == name) return child;
        if (TControl* found = child->FindChild(name)) return found;
    }
    return nullptr;
}

const TControl* TControl::Root() const {
    const TControl* c = this;
    while (c->parent_) c = c->parent_;
    return c;
}

bool TControl::Designing() const { return Root()->designing_; }
void TControl::SetDesigning(bool designing) { designing_ = designing; }
bool TControl::Loading() const { return Root()->loading_; }
void TControl::BeginLoading() { loading_ = true; }

void TControl::EndLoading() {
    loading_ = false;
    NotifyLoaded();
}

void TControl::NotifyLoaded() {
    const std::vector<TControl*> children = children_;
    for (TControl* child : children) child->NotifyLoaded();
    Loaded();
}

void TControl::Realign() {
    if (aligning_ > 0) return;
    TRect rect = ClientRect();
    ++aligning_;
    try {
        AlignControls(rect);
    } catch (...) {
        --aligning_;
        throw;
    }
    --aligning_;
}

void TControl::AlignControls(TRect& rect) {
    static constexpr TAlign kOrder[] = {TAlign::alTop, TAlign::alBottom, TAlign::alLeft, TAlign::alRight,
                                        TAlign::alClient};
    for (TAlign align : kOrder) {
        std::vector<TControl*> list;
        for (TControl* child : children_)
            if (child->align_ == align && Shown(child)) list.push_back(child);
        std::stable_sort(list.begin(), list.end(), [align](const TControl* a, const TControl* b) {
            switch (align) {
            case TAlign::alTop: return a->top_ < b->top_;
            case TAlign::alBottom: return a->top_ + a->height_ > b->top_ + b->height_;
            case TAlign::alLeft: return a->left_ < b->left_;
            case TAlign::alRight: return a->left_ + a->width_ > b->left_ + b->width_;
            default: return false;
            }
        });
        for (TControl* c : list) {
            switch (align) {
            case TAlign::alTop:
                c->SetBounds(rect.Left, rect.Top, rect.Width(), c->height_);
                rect.Top += c->height_;
                break;
            case TAlign::alBottom:
                c->SetBounds(rect.Left, rect.Bottom - c->height_, rect.Width(), c->height_);
                rect.Bottom -= c->height_;
                break;
            case TAlign::alLeft:
                c->SetBounds(rect.Left, rect.Top, c->width_, rect.Height());
                rect.Left += c->width_;
                break;
            case TAlign::alRight:
                c->SetBounds(rect.Right - c->width_, rect.Top, c->width_, rect.Height());
                rect.Right -= c->width_;
                break;
            default:
                c->SetBounds(rect.Left, rect.Top, rect.Width(), rect.Height());
                break;
            }
        }
    }
}

}  // namespace report
