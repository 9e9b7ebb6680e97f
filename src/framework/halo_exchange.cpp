#include "framework/halo_exchange.h"

#include "framework/grid_distribution.h"
#include "framework/run_context.h"

namespace tolvo {

namespace {

double* StripStart(GridView grid, const StripRecord& strip) { return &grid(strip.row, strip.first_col); }

double* StripStart(StackView stack, const StripRecord& strip) {
  return stack.levels(strip.row, strip.first_col).data();
}

int StripValues(StackView stack, const StripRecord& strip) {
  return strip.cell_count * (stack.level_count() + 1);
}

void PostReceives(std::span<const StripRecord> receive_list, GridView grid, std::vector<MPI_Request>& requests) {
  for (const StripRecord& strip : receive_list) {
    MPI_Request& request = requests.emplace_back();
    MPI_Irecv(StripStart(grid, strip), strip.cell_count, MPI_DOUBLE, strip.peer_rank, strip.row, MPI_COMM_WORLD,
              &request);
  }
}

void PostSends(std::span<const StripRecord> send_list, GridView grid, std::vector<MPI_Request>& requests) {
  for (const StripRecord& strip : send_list) {
    MPI_Request& request = requests.emplace_back();
    MPI_Isend(StripStart(grid, strip), strip.cell_count, MPI_DOUBLE, strip.peer_rank, strip.row, MPI_COMM_WORLD,
              &request);
  }
}

void PostStackReceives(std::span<const StripRecord> receive_list, StackView stack,
                       std::vector<MPI_Request>& requests) {
  for (const StripRecord& strip : receive_list) {
    MPI_Request& request = requests.emplace_back();
    MPI_Irecv(StripStart(stack, strip), StripValues(stack, strip), MPI_DOUBLE, strip.peer_rank, 0, MPI_COMM_WORLD,
              &request);
  }
}

void PostStackSends(std::span<const StripRecord> send_list, StackView stack, std::vector<MPI_Request>& requests) {
  for (const StripRecord& strip : send_list) {
    MPI_Request& request = requests.emplace_back();
    MPI_Isend(StripStart(stack, strip), StripValues(stack, strip), MPI_DOUBLE, strip.peer_rank, 0, MPI_COMM_WORLD,
              &request);
  }
}

void WaitAll(std::vector<MPI_Request>& requests) {
  MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
  requests.clear();
}

}  // namespace

void ExchangeHalo(std::span<const StripRecord> receive_list, std::span<const StripRecord> send_list, GridView grid) {
  std::vector<MPI_Request> requests;
  requests.reserve(receive_list.size() + send_list.size());
  PostReceives(receive_list, grid, requests);
  PostSends(send_list, grid, requests);
  WaitAll(requests);
}

void ExchangeHalo(const RunContext& run, GridView grid) {
  const DomainLayout* layout = run.domain_layout;
  if (layout == nullptr) return;
  ExchangeHalo(layout->receive_list, layout->send_list, grid);
}

void ExchangeStackHalo(std::span<const StripRecord> receive_list, std::span<const StripRecord> send_list,
                       StackView stack) {
  std::vector<MPI_Request> requests;
  requests.reserve(receive_list.size() + send_list.size());
  PostStackSends(send_list, stack, requests);
  PostStackReceives(receive_list, stack, requests);
  WaitAll(requests);
}

void ExchangeStackHalo(const RunContext& run, StackView stack) {
  const DomainLayout* layout = run.domain_layout;
  if (layout == nullptr) return;
  ExchangeStackHalo(layout->receive_list, layout->send_list, stack);
}

void ExchangeHalos(const RunContext& run, std::span<const GridView> grids, std::span<const StackView> stacks) {
  const DomainLayout* layout = run.domain_layout;
  if (layout == nullptr || (grids.empty() && stacks.empty())) return;
  std::vector<MPI_Request> requests;
  requests.reserve((grids.size() + stacks.size()) * (layout->receive_list.size() + layout->send_list.size()));
  for (const GridView& grid : grids) PostReceives(layout->receive_list, grid, requests);
  for (const StackView& stack : stacks) PostStackReceives(layout->receive_list, stack, requests);
  for (const GridView& grid : grids) PostSends(layout->send_list, grid, requests);
  for (const StackView& stack : stacks) PostStackSends(layout->send_list, stack, requests);
  WaitAll(requests);
}

void ExchangeHalos(const RunContext& run, std::initializer_list<GridView> grids,
                   std::initializer_list<StackView> stacks) {
  ExchangeHalos(run, std::span<const GridView>(grids.begin(), grids.size()),
                std::span<const StackView>(stacks.begin(), stacks.size()));
}

HaloExchange::~HaloExchange() { WaitHaloRequests(); }

void HaloExchange::PostHaloReceives(const RunContext& run, GridView grid) {
  WaitHaloRequests();
  const DomainLayout* layout = run.domain_layout;
  if (layout == nullptr) return;
  requests_.reserve(layout->receive_list.size() + layout->send_list.size());
  PostReceives(layout->receive_list, grid, requests_);
}

void HaloExchange::PostHaloSends(const RunContext& run, GridView grid) {
  const DomainLayout* layout = run.domain_layout;
  if (layout == nullptr) return;
  PostSends(layout->send_list, grid, requests_);
}

void HaloExchange::WaitHaloRequests() {
  if (!requests_.empty()) WaitAll(requests_);
}

}  // namespace tolvo
